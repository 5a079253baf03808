# CLI11 for cross builds. CLI11 is header-only, so the host's Debian package serves any target;
# but its own config puts /usr/include on the include path, where a cross compiler would pick up
# the host's C library headers. Expose only the CLI/ folder, through a link in the build tree.
if(NOT TARGET CLI11::CLI11)
  set(_varnet_cli11_headers /usr/include/CLI)
  if(NOT EXISTS ${_varnet_cli11_headers}/CLI.hpp)
    set(CLI11_FOUND FALSE)
    set(CLI11_NOT_FOUND_MESSAGE "CLI11 headers not found in ${_varnet_cli11_headers} (libcli11-dev)")
    return()
  endif()
  set(_varnet_cli11_include ${CMAKE_BINARY_DIR}/cross-include/cli11)
  file(MAKE_DIRECTORY ${_varnet_cli11_include})
  if(NOT EXISTS ${_varnet_cli11_include}/CLI)
    file(CREATE_LINK ${_varnet_cli11_headers} ${_varnet_cli11_include}/CLI SYMBOLIC)
  endif()
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
                                                ${_varnet_cli11_include})
endif()
set(CLI11_FOUND TRUE)
