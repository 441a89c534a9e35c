# Prepares a man page for a package, at build time:
#   cmake -DMODE=text -DTOOL=groff -DIN=page.1 -DOUT=page.txt -P manpage.cmake
#     plain text with CRLF line ends, for the Windows package
#   cmake -DMODE=gzip -DTOOL=gzip -DIN=page.1 -DOUT=page.1.gz -P manpage.cmake
#     compressed without a time stamp, as Debian keeps man pages
get_filename_component(dir "${OUT}" DIRECTORY)
file(MAKE_DIRECTORY "${dir}")
if(MODE STREQUAL "text")
  # -c -b -u: no escape sequences and no overstriking, only characters.
  execute_process(COMMAND "${TOOL}" -man -Tascii -P-c -P-b -P-u "${IN}"
                  OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} failed on ${IN}")
  endif()
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE "${OUT}" "${text}")
elseif(MODE STREQUAL "gzip")
  execute_process(COMMAND "${TOOL}" -9 -n -c "${IN}" OUTPUT_FILE "${OUT}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} failed on ${IN}")
  endif()
else()
  message(FATAL_ERROR "MODE must be text or gzip")
endif()
