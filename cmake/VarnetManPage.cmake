# Writes a program's gzipped manual page from its --help, with one more section per verb holding
# that verb's own --help (help2man alone would document only the top-level options).
#   cmake -DPROGRAM=<exe> -DHELP2MAN=<help2man> -DGZIP=<gzip> -DNAME=<one line> -DVERSION=<x.y.z>
#         -DOUTPUT=<page.1.gz> -P VarnetManPage.cmake
foreach(variable PROGRAM HELP2MAN GZIP NAME VERSION OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "VarnetManPage.cmake: ${variable} is not set")
  endif()
endforeach()

get_filename_component(program_name ${PROGRAM} NAME)
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${program_name} --help failed (${status})")
endif()

# The verbs are the words indented by two spaces in the "Subcommands:" block, which ends at the
# first blank line (descriptions that wrap are indented further).
set(verbs)
string(REGEX MATCH "[Ss][Uu][Bb][Cc][Oo][Mm][Mm][Aa][Nn][Dd][Ss]:\n.*" block "${help}")
string(FIND "${block}" "\n\n" block_end)
string(SUBSTRING "${block}" 0 ${block_end} block)
string(REGEX MATCHALL "\n  [a-z][a-z0-9-]*" verb_lines "${block}")
foreach(line IN LISTS verb_lines)
  string(STRIP "${line}" verb)
  list(APPEND verbs ${verb})
endforeach()

# Text shown as it is printed: no filling, backslashes and leading control characters escaped.
function(append_literal out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${${out}}.nf\n${text}\n.fi\n" PARENT_SCOPE)
endfunction()

set(include_text "")
if(verbs)
  string(APPEND include_text "[COMMANDS]\n")
  foreach(verb IN LISTS verbs)
    execute_process(COMMAND ${PROGRAM} ${verb} --help OUTPUT_VARIABLE verb_help
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${program_name} ${verb} --help failed (${status})")
    endif()
    # The parser names the program by the path it was run with, here one in the build tree.
    string(REPLACE "${PROGRAM}" "${program_name}" verb_help "${verb_help}")
    string(STRIP "${verb_help}" verb_help)
    string(APPEND include_text ".SS ${verb}\n")
    append_literal(include_text "${verb_help}")
  endforeach()
endif()
# help2man refuses an include file without a section, so there is none for a program with no verbs.
set(include_option)
set(include_file ${OUTPUT}.include)
if(include_text)
  file(WRITE ${include_file} "${include_text}")
  set(include_option --include=${include_file})
endif()

string(REGEX REPLACE "\\.gz$" "" page ${OUTPUT})
get_filename_component(page_dir ${page} DIRECTORY)
file(MAKE_DIRECTORY ${page_dir})
execute_process(
  COMMAND ${HELP2MAN} --no-info --version-string=${VERSION} --name=${NAME}
          --section=1 ${include_option} --output=${page} ${PROGRAM}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${program_name} (${status})")
endif()
# -n: no name or time stamp in the archive, so that rebuilding the same page gives the same file.
execute_process(COMMAND ${GZIP} -9nf ${page} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed for ${page} (${status})")
endif()
file(REMOVE ${include_file})
