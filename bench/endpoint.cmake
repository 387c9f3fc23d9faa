# The endpoint under load: a bench server with the real endpoint, and run.sh that compares it
# with nginx and checks idle connections.
if(TARGET korvalo_endpoint)
    add_executable(endpoint_bench_server ${CMAKE_CURRENT_LIST_DIR}/endpoint/bench_server.cpp)
    target_link_libraries(endpoint_bench_server PRIVATE korvalo_endpoint)
endif()
