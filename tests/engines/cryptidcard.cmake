# The ID-card signer against the real card-service stand-in.
find_package(nlohmann_json 3 REQUIRED)
korvalo_add_gtest(cryptidcard_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/cryptidcard_test.cpp
    LIBS korvalo_cryptidcard korvalo_card_service_fixture korvalo_core)
