# startup_bench: start-up time of the korvalo program (to the first OPTIONS answer) and its idle
# resident memory, medians over several runs. A build target only; run build/bin/startup_bench.
if(TARGET korvalo)
    add_executable(startup_bench ${CMAKE_CURRENT_LIST_DIR}/startup/startup_bench.cpp)
    target_compile_definitions(startup_bench PRIVATE KORVALO_EXECUTABLE="$<TARGET_FILE:korvalo>")
    add_dependencies(startup_bench korvalo)
endif()
