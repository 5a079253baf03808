# nlohmann/json for cross builds, as cross/CLI11 does for CLI11: header-only, so the host's Debian
# package serves any target, but only its own folder may go on the cross compiler's include path.
if(NOT TARGET nlohmann_json::nlohmann_json)
  set(_varnet_json_headers /usr/include/nlohmann)
  if(NOT EXISTS ${_varnet_json_headers}/json.hpp)
    set(nlohmann_json_FOUND FALSE)
    set(nlohmann_json_NOT_FOUND_MESSAGE
        "nlohmann/json headers not found in ${_varnet_json_headers} (nlohmann-json3-dev)")
    return()
  endif()
  set(_varnet_json_include ${CMAKE_BINARY_DIR}/cross-include/nlohmann_json)
  file(MAKE_DIRECTORY ${_varnet_json_include})
  if(NOT EXISTS ${_varnet_json_include}/nlohmann)
    file(CREATE_LINK ${_varnet_json_headers} ${_varnet_json_include}/nlohmann SYMBOLIC)
  endif()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
                                                                ${_varnet_json_include})
endif()
set(nlohmann_json_FOUND TRUE)
