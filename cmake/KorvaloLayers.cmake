# Korvalo's layers, enforced by the build.
#
# Every library of src/ lives in one folder and belongs to the layer named by the first part of
# that folder, bottom to top: core, platform, state, services, ui, app. A library publishes only
# its own folder (as "<folder>/<header>", through a link in the build tree), so a source can
# include a header only when its library links the library that owns it, and a library may
# link only libraries of its own layer or below that are already defined. An upward include
# therefore fails to compile, and the folders cannot include each other in a circle.

set(KORVALO_LAYERS core platform state services ui app)

# korvalo_library(<name> FOLDER <folder under src> [INTERFACE] [AUTOMOC]
#                 [SOURCES <file>...] [PUBLIC <lib>...] [PRIVATE <lib>...])
# Sources are named relative to the folder and must all exist.
function(korvalo_library name)
    cmake_parse_arguments(ARG "INTERFACE;AUTOMOC" "FOLDER" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
    if(NOT ARG_FOLDER)
        message(FATAL_ERROR "korvalo_library(${name}): FOLDER is required")
    endif()
    set(folder_dir ${CMAKE_SOURCE_DIR}/src/${ARG_FOLDER})
    if(NOT IS_DIRECTORY ${folder_dir})
        message(FATAL_ERROR "korvalo_library(${name}): folder src/${ARG_FOLDER} does not exist")
    endif()
    string(REGEX REPLACE "/.*" "" layer ${ARG_FOLDER})
    list(FIND KORVALO_LAYERS ${layer} layer_index)
    if(layer_index LESS 0)
        message(FATAL_ERROR
            "korvalo_library(${name}): src/${ARG_FOLDER} is in no layer (${KORVALO_LAYERS})")
    endif()

    set(sources)
    foreach(source IN LISTS ARG_SOURCES)
        if(NOT EXISTS ${folder_dir}/${source})
            message(FATAL_ERROR
                "korvalo_library(${name}): source src/${ARG_FOLDER}/${source} is missing")
        endif()
        list(APPEND sources ${folder_dir}/${source})
    endforeach()

    foreach(dependency IN LISTS ARG_PUBLIC ARG_PRIVATE)
        if(NOT dependency MATCHES "^korvalo_")
            continue()
        endif()
        if(NOT TARGET ${dependency})
            message(FATAL_ERROR "korvalo_library(${name}): ${dependency} is not defined before "
                "src/${ARG_FOLDER}; a library links only what lies below it")
        endif()
        get_target_property(dependency_layer ${dependency} KORVALO_LAYER_INDEX)
        if(dependency_layer GREATER layer_index)
            message(FATAL_ERROR "korvalo_library(${name}): src/${ARG_FOLDER} (${layer}) may not "
                "link ${dependency}, which lies in a layer above it")
        endif()
    endforeach()

    # The published folder: <build>/include/<name>/<folder> links to src/<folder>.
    set(publish_root ${CMAKE_BINARY_DIR}/include/${name})
    get_filename_component(link_parent ${publish_root}/${ARG_FOLDER} DIRECTORY)
    file(MAKE_DIRECTORY ${link_parent})
    file(CREATE_LINK ${folder_dir} ${publish_root}/${ARG_FOLDER} SYMBOLIC)

    if(ARG_INTERFACE)
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${publish_root})
        target_link_libraries(${name} INTERFACE ${ARG_PUBLIC})
    else()
        if(NOT sources)
            message(FATAL_ERROR "korvalo_library(${name}): no SOURCES")
        endif()
        add_library(${name} STATIC ${sources})
        target_include_directories(${name} PUBLIC ${publish_root})
        target_link_libraries(${name} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
        if(ARG_AUTOMOC)
            set_target_properties(${name} PROPERTIES AUTOMOC ON)
        endif()
    endif()
    set_target_properties(${name} PROPERTIES KORVALO_LAYER_INDEX ${layer_index})
endfunction()

# korvalo_subdirectories(<folder>...): adds folders in the order given; a missing one fails.
function(korvalo_subdirectories)
    foreach(dir IN LISTS ARGN)
        if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
            message(FATAL_ERROR
                "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt is missing")
        endif()
        add_subdirectory(${dir})
    endforeach()
endfunction()
