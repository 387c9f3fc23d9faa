korvalo_add_gtest(criptsign_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/criptsign_test.cpp
    LIBS korvalo_criptsign korvalo_cert_fixture)
# The same engine in a process that keeps the GOST engine switched off.
korvalo_add_gtest(criptsign_nogost_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/criptsign_nogost_test.cpp
    LIBS korvalo_criptsign korvalo_cert_fixture)
