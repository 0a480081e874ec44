# Makes a man page from its template and the program's own --help, so that
# the page's options are the ones the program parses and prints:
#
#   cmake -DPROGRAM=path -DTEMPLATE=page.in -DOUTPUT=page -DVERSION=1.0.0 -P man_page.cmake
#
# A template line ".\" @options ARGS" becomes the options that
# `PROGRAM ARGS --help` lists: each help line starting "  --NAME [VALUE]",
# its text after two spaces or more on the same line or alone on the next
# lines. @VERSION@ is filled in.
cmake_minimum_required(VERSION 3.25)

# troff takes "-" as a hyphen and a leading "." or "'" as a request.
function(troff_text text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "^([.'])" "\\\\&\\1" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# A CMake list parts at ";" and keeps "[...]" together: neither may stand in
# a line while the text is handled as a list of lines.
function(protect text out)
  string(REPLACE ";" "@SEMICOLON@" text "${text}")
  string(REPLACE "[" "@OPEN@" text "${text}")
  string(REPLACE "]" "@CLOSE@" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(options_of args out)
  separate_arguments(arguments UNIX_COMMAND "${args}")
  execute_process(COMMAND ${PROGRAM} ${arguments} --help OUTPUT_VARIABLE help
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${args} --help: exit status ${status}")
  endif()
  protect("${help}" help)
  string(REPLACE "\n" ";" lines "${help}")
  set(page "")
  set(open FALSE)  # an option whose text is still to come
  foreach(line IN LISTS lines)
    if(line MATCHES "^  (--[a-z0-9-]+)( ([^ ]+))?(  +(.*))?$")
      set(name "${CMAKE_MATCH_1}")
      set(value "${CMAKE_MATCH_3}")
      set(text "${CMAKE_MATCH_5}")
      troff_text("${name}" name)
      if(NOT value STREQUAL "")
        troff_text("${value}" value)
        string(APPEND page ".TP\n.BI \"${name} \" \"${value}\"\n")
      else()
        string(APPEND page ".TP\n.B ${name}\n")
      endif()
      set(open TRUE)
      if(NOT text STREQUAL "")
        troff_text("${text}" text)
        string(APPEND page "${text}\n")
        set(open FALSE)
      endif()
    elseif(open AND line MATCHES "^  +([^ -].*)$")
      troff_text("${CMAKE_MATCH_1}" text)
      string(APPEND page "${text}\n")
      set(open FALSE)
    endif()
  endforeach()
  set(${out} "${page}" PARENT_SCOPE)
endfunction()

file(READ ${TEMPLATE} template)
protect("${template}" template)
string(REPLACE "\n" ";" template_lines "${template}")
set(page "")
foreach(line IN LISTS template_lines)
  if(line MATCHES "^\\.\\\\\" @options ?(.*)$")
    options_of("${CMAKE_MATCH_1}" options)
    string(APPEND page "${options}")
  else()
    string(APPEND page "${line}\n")
  endif()
endforeach()
string(REPLACE "@SEMICOLON@" ";" page "${page}")
string(REPLACE "@OPEN@" "[" page "${page}")
string(REPLACE "@CLOSE@" "]" page "${page}")
string(REPLACE "@VERSION@" "${VERSION}" page "${page}")
string(REGEX REPLACE "\n$" "" page "${page}")
file(WRITE ${OUTPUT} "${page}")
