# The AvCryptMail library binding: run-time loading, version gates, entry points, error texts.
# engines/avcryptmail_api.h is the library's call contract; the stand-in library includes it.
add_library(korvalo_avcryptmail STATIC
    ${CMAKE_CURRENT_LIST_DIR}/avcryptmail.cpp
)
target_link_libraries(korvalo_avcryptmail PUBLIC korvalo_core PRIVATE ${CMAKE_DL_LIBS})
