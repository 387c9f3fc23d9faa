# The system's proxy for HTTP (environment, GNOME settings).
add_library(korvalo_system_proxy STATIC
    ${CMAKE_CURRENT_LIST_DIR}/system_proxy.cpp
)
target_link_libraries(korvalo_system_proxy PUBLIC korvalo_core)
