# The certificate store ("MY" folder store) and detached CMS signing over OpenSSL.
add_library(korvalo_certstore STATIC
    ${CMAKE_CURRENT_LIST_DIR}/cert_store.cpp
    ${CMAKE_CURRENT_LIST_DIR}/crypt_message.cpp
)
set_target_properties(korvalo_certstore PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_link_libraries(korvalo_certstore PUBLIC korvalo_core OpenSSL::Crypto)
