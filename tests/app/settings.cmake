korvalo_add_gtest(settings_test
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/settings_profile_file_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/settings_loader_test.cpp
    LIBS korvalo_settings
)
