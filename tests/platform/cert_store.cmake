korvalo_add_gtest(cert_store_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/cert_store_test.cpp
    LIBS korvalo_certstore korvalo_cert_fixture)
