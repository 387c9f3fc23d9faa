korvalo_add_gtest(system_proxy_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/system_proxy_test.cpp
    LIBS korvalo_system_proxy
)
