# Qt Test programs of the host windows, run on the offscreen platform.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

function(korvalo_add_qtest name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} Qt6::Test Qt6::Widgets)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_CURRENT_LIST_DIR})
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_FATAL_WARNINGS=0"
        TIMEOUT 300)
endfunction()

korvalo_add_qtest(host_log_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_log_test.cpp
    LIBS korvalo_hostui)

korvalo_add_qtest(host_window_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_window_test.cpp
    LIBS korvalo_hostui)

korvalo_add_qtest(host_options_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_options_test.cpp
    LIBS korvalo_hostui korvalo_login)

korvalo_add_gtest(host_fmain_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_fmain_test.cpp
    LIBS korvalo_fmain)

korvalo_add_qtest(host_app_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_app_test.cpp
    LIBS korvalo_hostapp)
