# What gets installed, the manual pages, and the Debian package (scripts/package drives it).
# Included last by the top-level CMakeLists.txt, once every program target exists.

# The programs this configuration builds (a build without Qt has no varnet-update, unless it is
# a Windows one with the native window). `varnet-programs` builds just them, without the tests,
# and varnet-programs.txt names their files for scripts that copy them (the Windows zip).
set(varnet_programs)
set(varnet_program_files)
foreach(program varnet-update varnet-flash varnet-sim)
  if(TARGET ${program})
    list(APPEND varnet_programs ${program})
    string(APPEND varnet_program_files "$<TARGET_FILE:${program}>\n")
  endif()
endforeach()
add_custom_target(varnet-programs)
add_dependencies(varnet-programs ${varnet_programs})
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/varnet-programs.txt CONTENT "${varnet_program_files}")

foreach(program varnet-flash varnet-sim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION bin)
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/examples/varnet-ad-example.jtg
              ${PROJECT_SOURCE_DIR}/examples/varnet-da-example.jtg
        DESTINATION share/doc/varnet-update/examples)

# Manual pages from the programs' own --help, so that they cannot drift from the options. They
# are made by running the programs, which a cross build cannot do.
if(NOT CMAKE_CROSSCOMPILING)
  find_program(VARNET_HELP2MAN help2man)
  find_program(VARNET_GZIP gzip)
endif()
if(VARNET_HELP2MAN AND VARNET_GZIP)
  set(man_pages)
  set(man_names_varnet-flash "update the firmware of Varnet converters over MIDI")
  set(man_names_varnet-sim "a simulated Varnet converter behind MIDI ports")
  foreach(program varnet-flash varnet-sim)
    if(NOT TARGET ${program})
      continue()
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
    add_custom_command(
      OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DHELP2MAN=${VARNET_HELP2MAN}
              -DGZIP=${VARNET_GZIP} "-DNAME=${man_names_${program}}" -DVERSION=${PROJECT_VERSION}
              -DOUTPUT=${page} -P ${PROJECT_SOURCE_DIR}/cmake/VarnetManPage.cmake
      DEPENDS ${program} ${PROJECT_SOURCE_DIR}/cmake/VarnetManPage.cmake
      COMMENT "Writing the manual page of ${program}"
      VERBATIM)
    list(APPEND man_pages ${page})
  endforeach()
  # The window has no --help to write its page from; its page is written by hand (with the
  # version filled in, as help2man does for the others).
  if(TARGET varnet-update)
    set(source ${CMAKE_BINARY_DIR}/man/varnet-update.1)
    configure_file(${PROJECT_SOURCE_DIR}/resources/varnet-update.1 ${source} @ONLY)
    set(page ${source}.gz)
    add_custom_command(
      OUTPUT ${page}
      COMMAND sh -c "${VARNET_GZIP} -9nc \"$1\" >\"$2\"" sh ${source} ${page}
      DEPENDS ${source}
      VERBATIM)
    list(APPEND man_pages ${page})
  endif()
  add_custom_target(varnet-man ALL DEPENDS ${man_pages})
  add_dependencies(varnet-programs varnet-man)
  install(FILES ${man_pages} DESTINATION share/man/man1)
  if(VARNET_BUILD_TESTS)
    add_test(NAME ManPageWriter
             COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                     -DWORK_DIR=${CMAKE_BINARY_DIR}/man-page-test -DHELP2MAN=${VARNET_HELP2MAN}
                     -DGZIP=${VARNET_GZIP} -P ${PROJECT_SOURCE_DIR}/tests/package/man_page_test.cmake)
  endif()
elseif(NOT CMAKE_CROSSCOMPILING)
  message(STATUS "help2man or gzip not found: no manual pages (scripts/install-deps installs it)")
endif()

if(WIN32 OR NOT UNIX)
  return()
endif()

# The Debian package: scripts/package builds the release preset and runs `cpack --preset release`.
set(VARNET_PACKAGE_MAINTAINER "varnet-update developers <dev@varnet-update.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnet-update)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VARNET_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the libraries the programs actually load (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack puts the summary first; the description is the extended text below it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for Varnet audio converters over MIDI")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Asks a Varnet AD or DA converter to identify itself, checks that the firmware
file is meant for it, streams the firmware as System Exclusive data and
compares every byte the converter echoes. Contains the desktop window
varnet-update, its command-line twin varnet-flash and varnet-sim, a simulated
converter behind ALSA sequencer or JACK ports for trying the tools without one.")
# A native package's changelog (dpkg and lintian expect one): this version, at configure time.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(changelog ${CMAKE_BINARY_DIR}/changelog)
file(WRITE ${changelog}
     "varnet-update (${PROJECT_VERSION}) stable; urgency=medium\n\n"
     "  * varnet-update ${PROJECT_VERSION}.\n\n"
     " -- ${VARNET_PACKAGE_MAINTAINER}  ${changelog_date}\n")
if(VARNET_GZIP)
  execute_process(COMMAND ${VARNET_GZIP} -9nf ${changelog})
  install(FILES ${changelog}.gz DESTINATION share/doc/varnet-update)
endif()
# Debian policy wants every package's copyright and licence in its doc folder, machine-readable.
install(FILES ${PROJECT_SOURCE_DIR}/resources/copyright DESTINATION share/doc/varnet-update)
# Every --json help line and manual page points to README for the keys.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/varnet-update)

include(CPack)
