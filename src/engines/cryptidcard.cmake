# The ID-card signer: signs through the local card service over HTTP.
find_package(CURL REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
add_library(korvalo_cryptidcard STATIC
    ${CMAKE_CURRENT_LIST_DIR}/cryptidcard.cpp
)
target_link_libraries(korvalo_cryptidcard PUBLIC korvalo_core PRIVATE CURL::libcurl
    nlohmann_json::nlohmann_json)
