# Header-only libraries for cross builds. The host's Debian package serves any target, but its own
# config puts /usr/include on the include path, where a cross compiler would pick up the host's C
# library headers. This exposes only the library's folder, through a link in the build tree, as
# the imported target the package's own config would define.
#   varnet_cross_header_package(<package> <target> <folder under /usr/include> <header> <deb>)
# A macro, so that a missing header returns from the calling config file with <package>_FOUND
# false.
macro(varnet_cross_header_package package target folder header deb)
  if(NOT TARGET ${target})
    if(NOT EXISTS /usr/include/${folder}/${header})
      set(${package}_FOUND FALSE)
      set(${package}_NOT_FOUND_MESSAGE
          "${package} headers not found in /usr/include/${folder} (${deb})")
      return()
    endif()
    set(_varnet_include ${CMAKE_BINARY_DIR}/cross-include/${package})
    file(MAKE_DIRECTORY ${_varnet_include})
    if(NOT EXISTS ${_varnet_include}/${folder})
      file(CREATE_LINK /usr/include/${folder} ${_varnet_include}/${folder} SYMBOLIC)
    endif()
    add_library(${target} INTERFACE IMPORTED)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_varnet_include})
  endif()
  set(${package}_FOUND TRUE)
endmacro()
