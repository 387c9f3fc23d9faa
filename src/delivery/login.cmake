# The proxy login window and ShowLoginDialog.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
add_library(korvalo_login STATIC
    ${CMAKE_CURRENT_LIST_DIR}/login_dialog.cpp
)
set_target_properties(korvalo_login PROPERTIES AUTOMOC ON)
target_link_libraries(korvalo_login PUBLIC korvalo_core korvalo_qtbase Qt6::Widgets)
