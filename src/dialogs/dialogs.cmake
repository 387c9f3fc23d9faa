# The signing dialogs: certificate panel, message, file and batch dialogs, the key password
# window, and ISigningDialogs over them.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
add_library(korvalo_dialogs STATIC
    ${CMAKE_CURRENT_LIST_DIR}/certinfo.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dialog_parts.cpp
    ${CMAKE_CURRENT_LIST_DIR}/html_view.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sign_engines.cpp
    ${CMAKE_CURRENT_LIST_DIR}/signing_dialog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fsignmsg.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fsign.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fsignjson.cpp
    ${CMAKE_CURRENT_LIST_DIR}/key_password_prompt.cpp
    ${CMAKE_CURRENT_LIST_DIR}/qt_signing_dialogs.cpp
)
set_target_properties(korvalo_dialogs PROPERTIES AUTOMOC ON)
target_link_libraries(korvalo_dialogs
    PUBLIC korvalo_core korvalo_qtbase korvalo_certstore korvalo_cryptidcard Qt6::Widgets
    PRIVATE korvalo_criptsign korvalo_avest_signer)
