# The Avest message signer (TAvSign): the signing sequence over the AvCryptMail binding.
add_library(korvalo_avsign STATIC
    ${CMAKE_CURRENT_LIST_DIR}/avsign.cpp
)
target_link_libraries(korvalo_avsign PUBLIC korvalo_avcryptmail korvalo_core)

# TAvSign behind TSign's IAvestSigner (korvalo_criptsign comes from criptsign.cmake).
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/criptsign.h)
    add_library(korvalo_avest_signer STATIC ${CMAKE_CURRENT_LIST_DIR}/avest_signer.cpp)
    target_link_libraries(korvalo_avest_signer PUBLIC korvalo_avsign korvalo_criptsign)
endif()
