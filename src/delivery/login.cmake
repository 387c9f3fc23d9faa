# The proxy login window and ShowLoginDialog.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
add_library(korvalo_login STATIC
    ${CMAKE_CURRENT_LIST_DIR}/login_dialog.cpp
)
target_link_libraries(korvalo_login PUBLIC korvalo_core korvalo_qtbase Qt6::Widgets)
