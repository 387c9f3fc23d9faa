korvalo_add_gtest(desktop_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/desktop_test.cpp
    LIBS korvalo_desktop korvalo_test_support X11)
