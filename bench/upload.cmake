# Upload benchmark: Korvalo's uploader against `curl -F` on a local server.
add_executable(korvalo-upload-bench ${CMAKE_CURRENT_LIST_DIR}/upload/upload_bench.cpp)
target_link_libraries(korvalo-upload-bench PRIVATE korvalo_delivery korvalo_delivery_testsupport)
