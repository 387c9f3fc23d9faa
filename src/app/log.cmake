# Activity log model, log lines, protocol file and its records.
add_library(korvalo_log STATIC
    ${CMAKE_CURRENT_LIST_DIR}/log_lines.cpp
    ${CMAKE_CURRENT_LIST_DIR}/log_model.cpp
    ${CMAKE_CURRENT_LIST_DIR}/myfile.cpp
    ${CMAKE_CURRENT_LIST_DIR}/protocol_records.cpp
)
target_link_libraries(korvalo_log PUBLIC korvalo_core)
