# Profile files, the settings loader and the writers of the dialogs' keys.
add_library(korvalo_settings STATIC
    ${CMAKE_CURRENT_LIST_DIR}/profile_file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/settings_loader.cpp
)
target_link_libraries(korvalo_settings PUBLIC korvalo_core korvalo_system_proxy)
