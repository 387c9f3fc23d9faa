# TSign, the system-store signature engine.
add_library(korvalo_criptsign STATIC ${CMAKE_CURRENT_LIST_DIR}/criptsign.cpp)
target_link_libraries(korvalo_criptsign PUBLIC korvalo_core korvalo_certstore)
