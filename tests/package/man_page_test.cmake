# The manual page writer against a stand-in program whose help has the awkward parts: a verb list
# with a wrapped description and text after it, and verb help whose lines start with roff's
# control characters or hold backslashes.
#   cmake -DSOURCE_DIR=<repo> -DWORK_DIR=<scratch> -DHELP2MAN=<help2man> -DGZIP=<gzip> -P ...
set(program ${WORK_DIR}/fake-tool)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
file(WRITE ${program} [=[#!/bin/sh
case "$1" in
  --help) printf 'fake-tool: a stand-in\nUsage: %s [OPTIONS] SUBCOMMAND\n\nOptions:\n  -h,--help   Print this help\n\nSubcommands:\n  alpha   First verb\n  beta-two   Second verb, whose description\n                              wraps onto lines\n\nfollowing text\n' "$0" ;;
  alpha) printf 'Usage: %s alpha [OPTIONS]\n.starts with a dot\n'"'"'starts with a quote\nC:\\dir\\file\n' "$0" ;;
  beta-two) printf 'Usage: %s beta-two\n' "$0" ;;
  *) exit 1 ;;
esac
]=])
file(CHMOD ${program} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

set(page ${WORK_DIR}/fake-tool.1.gz)
execute_process(
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=${program} -DHELP2MAN=${HELP2MAN} -DGZIP=${GZIP}
          "-DNAME=a stand-in" -DVERSION=9.8.7 -DOUTPUT=${page}
          -P ${SOURCE_DIR}/cmake/VarnetManPage.cmake
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the page writer failed (${status})")
endif()
execute_process(COMMAND ${GZIP} -dc ${page} OUTPUT_VARIABLE roff RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${page} is not a gzip file")
endif()

set(failures "")
foreach(expected ".SS alpha\n" ".SS beta-two\n" "\\&.starts with a dot" "\\&'starts with a quote"
                 "C:\\edir\\efile" "Usage: fake-tool alpha" "9.8.7")
  string(FIND "${roff}" "${expected}" at)
  if(at EQUAL -1)
    string(APPEND failures "missing: ${expected}\n")
  endif()
endforeach()
foreach(unexpected ".SS wraps" ".SS following" "${WORK_DIR}")
  string(FIND "${roff}" "${unexpected}" at)
  if(NOT at EQUAL -1)
    string(APPEND failures "present: ${unexpected}\n")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures}--- page:\n${roff}")
endif()
