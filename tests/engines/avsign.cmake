# TAvSign and the stand-in AvCryptMail: real library binary, real certificate store folder,
# signatures checked with the openssl command.
if(TARGET korvalo_avcryptmail_standin AND TARGET korvalo_cert_fixture
   AND TARGET korvalo_avest_signer)
    korvalo_add_gtest(avsign_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/avsign_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/avcryptmail_standin_test.cpp
        LIBS korvalo_avsign korvalo_avest_signer korvalo_cert_fixture avcryptmail_attrcert ${CMAKE_DL_LIBS})
    add_dependencies(avsign_test korvalo_avcryptmail_standin fake_avcryptmail_no_set_attribute)
    target_compile_definitions(avsign_test PRIVATE
        KORVALO_STANDIN_DIR="$<TARGET_FILE_DIR:korvalo_avcryptmail_standin>"
        KORVALO_STANDIN_FILE="$<TARGET_FILE:korvalo_avcryptmail_standin>"
        FAKE_AV_NO_SET_ATTRIBUTE="$<TARGET_FILE:fake_avcryptmail_no_set_attribute>")
endif()
