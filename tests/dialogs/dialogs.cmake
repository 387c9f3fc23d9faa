# Qt Test programs of the signing dialogs, on the offscreen platform, over fixture certificate
# stores that the tests make; signatures are checked with the openssl command.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

add_library(korvalo_dialog_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/dialog_test_support.cpp)
target_include_directories(korvalo_dialog_test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(korvalo_dialog_test_support
    PUBLIC korvalo_dialogs korvalo_cert_fixture Qt6::Widgets Qt6::Test)

function(korvalo_add_dialog_qtest name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
    target_link_libraries(${name} PRIVATE korvalo_dialog_test_support ${ARG_LIBS})
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_FATAL_WARNINGS=0"
        TIMEOUT 300)
endfunction()

korvalo_add_dialog_qtest(dialogs_certinfo_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/certinfo_test.cpp)

korvalo_add_dialog_qtest(dialogs_fsignmsg_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/fsignmsg_test.cpp)

korvalo_add_dialog_qtest(dialogs_fsign_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/fsign_test.cpp)

korvalo_add_dialog_qtest(dialogs_fsignjson_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/fsignjson_test.cpp)
# The Avest path runs the stand-in AvCryptMail library.
add_dependencies(dialogs_fsignjson_test korvalo_avcryptmail_standin)
target_compile_definitions(dialogs_fsignjson_test PRIVATE
    KORVALO_STANDIN_DIR="$<TARGET_FILE_DIR:korvalo_avcryptmail_standin>")

# The entry routines from connection threads, with the real engines and the card-service
# stand-in.
korvalo_add_dialog_qtest(dialogs_entry_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/qt_signing_dialogs_test.cpp
    LIBS korvalo_hostui korvalo_card_service_fixture)

# The screenshot program of docs/screenshots (run by its make.sh under Xvfb); not installed.
add_executable(korvalo-screenshots ${CMAKE_SOURCE_DIR}/docs/screenshots/screenshots.cpp)
target_link_libraries(korvalo-screenshots PRIVATE korvalo_dialog_test_support korvalo_hostui)
