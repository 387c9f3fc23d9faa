korvalo_add_gtest(log_tests
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/myfile_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/protocol_records_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/log_test.cpp
    LIBS korvalo_log)
