# The desktop as Korvalo's host sees it: the X11 window list and the companion server start.
find_package(X11 REQUIRED)
add_library(korvalo_desktop STATIC
    ${CMAKE_CURRENT_LIST_DIR}/window_list.cpp
    ${CMAKE_CURRENT_LIST_DIR}/companion.cpp
)
target_link_libraries(korvalo_desktop PUBLIC korvalo_core PRIVATE X11::X11 Threads::Threads)
