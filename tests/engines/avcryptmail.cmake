# The AvCryptMail binding against small fake libraries that record their calls.
set(_fake_av_variants full no_init no_set_attribute)
foreach(_variant IN LISTS _fake_av_variants)
    set(_target fake_avcryptmail_${_variant})
    add_library(${_target} SHARED ${CMAKE_CURRENT_LIST_DIR}/fake_avcryptmail/fake_avcryptmail.cpp)
    target_include_directories(${_target} PRIVATE ${CMAKE_SOURCE_DIR}/src)
    target_compile_options(${_target} PRIVATE -fno-gnu-unique)
    set_target_properties(${_target} PROPERTIES
        OUTPUT_NAME AvCryptMail
        VERSION 3.3.9.0
        SOVERSION 3
        CXX_VISIBILITY_PRESET hidden
        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${_target})
endforeach()
target_compile_definitions(fake_avcryptmail_no_init PRIVATE FAKE_AV_WITHOUT_INIT)
target_compile_definitions(fake_avcryptmail_no_set_attribute PRIVATE FAKE_AV_WITHOUT_SET_ATTRIBUTE)

korvalo_add_gtest(avcryptmail_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/avcryptmail_test.cpp
    LIBS korvalo_avcryptmail korvalo_test_support ${CMAKE_DL_LIBS})
add_dependencies(avcryptmail_test fake_avcryptmail_full fake_avcryptmail_no_init
    fake_avcryptmail_no_set_attribute)
target_compile_definitions(avcryptmail_test PRIVATE
    FAKE_AV_FULL="$<TARGET_FILE:fake_avcryptmail_full>"
    FAKE_AV_NO_INIT="$<TARGET_FILE:fake_avcryptmail_no_init>"
    FAKE_AV_NO_SET_ATTRIBUTE="$<TARGET_FILE:fake_avcryptmail_no_set_attribute>")
