# The Qt host: the UI-thread hand-over, the main window with its tray icon, the settings
# dialog, message boxes and balloons, and the korvalo executable.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
find_package(PkgConfig REQUIRED)
pkg_check_modules(PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)

# Shared by every Qt window of Korvalo: running work on the UI thread, bringing a window to
# the front.
add_library(korvalo_qtbase STATIC
    ${CMAKE_CURRENT_LIST_DIR}/ui_thread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/foreground.cpp
)
target_link_libraries(korvalo_qtbase PUBLIC korvalo_core Qt6::Widgets)

# The windows of the host: log window and tray, settings dialog, log sink, notifier.
add_library(korvalo_hostui STATIC
    ${CMAKE_CURRENT_LIST_DIR}/main_window.cpp
    ${CMAKE_CURRENT_LIST_DIR}/qt_log_sink.cpp
    ${CMAKE_CURRENT_LIST_DIR}/qt_notifier.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fopt.cpp
)
set_target_properties(korvalo_hostui PROPERTIES AUTOMOC ON)
target_link_libraries(korvalo_hostui
    PUBLIC korvalo_qtbase korvalo_log korvalo_settings
    PRIVATE korvalo_desktop PkgConfig::PCRE2)

# TFMain: the run-time state with start-up and shutdown (no Qt).
add_library(korvalo_fmain STATIC
    ${CMAKE_CURRENT_LIST_DIR}/fmain.cpp
)
target_link_libraries(korvalo_fmain
    PUBLIC korvalo_core korvalo_log korvalo_settings korvalo_endpoint korvalo_desktop
    PRIVATE korvalo_avcryptmail)

# The host put together, and the executable.
add_library(korvalo_hostapp STATIC
    ${CMAKE_CURRENT_LIST_DIR}/host_app.cpp
)
target_link_libraries(korvalo_hostapp PUBLIC korvalo_fmain korvalo_hostui korvalo_login)

add_executable(korvalo ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(korvalo PRIVATE korvalo_hostapp korvalo_cryptidcard korvalo_desktop
    korvalo_delivery korvalo_avcryptmail korvalo_dialogs)
