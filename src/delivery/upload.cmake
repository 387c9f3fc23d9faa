# The upload of a signing result and the handlers of its outcome (no Qt).
find_package(CURL REQUIRED)
add_library(korvalo_delivery STATIC
    ${CMAKE_CURRENT_LIST_DIR}/http_client.cpp
    ${CMAKE_CURRENT_LIST_DIR}/upload.cpp
    ${CMAKE_CURRENT_LIST_DIR}/upload_body.cpp
    ${CMAKE_CURRENT_LIST_DIR}/upload_outcome.cpp
)
target_link_libraries(korvalo_delivery
    PUBLIC korvalo_core korvalo_log korvalo_settings
    PRIVATE CURL::libcurl OpenSSL::SSL OpenSSL::Crypto)
