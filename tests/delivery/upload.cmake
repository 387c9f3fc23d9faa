# Tests of the upload and of its outcome handlers: a real local capture server, tinyproxy.
add_library(korvalo_delivery_testsupport STATIC
    ${CMAKE_CURRENT_LIST_DIR}/capture_server.cpp
    ${CMAKE_CURRENT_LIST_DIR}/doubles.cpp
)
target_include_directories(korvalo_delivery_testsupport PUBLIC ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(korvalo_delivery_testsupport PUBLIC korvalo_core korvalo_test_support OpenSSL::SSL)

korvalo_add_gtest(delivery_tests
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/multipart_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/outcome_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/upload_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/proxy_test.cpp
    LIBS korvalo_delivery korvalo_delivery_testsupport
    PROPERTIES TIMEOUT 120)

# The delivery behind the real endpoint (dispatcher and server).
if(TARGET korvalo_endpoint AND TARGET korvalo_endpoint_testing)
    korvalo_add_gtest(delivery_endpoint_tests
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/endpoint_upload_test.cpp
        LIBS korvalo_delivery korvalo_delivery_testsupport korvalo_endpoint
             korvalo_endpoint_testing
        PROPERTIES TIMEOUT 60)
endif()
