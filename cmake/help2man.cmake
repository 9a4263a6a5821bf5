# Writes the manual page of one tool from its --help and --version (help2man),
# then gzip -9n beside it.
#   cmake -DHELP2MAN=... -DGZIP=... -DTOOL=path -DINCLUDE=file.h2m
#         -DSOURCE="Tarnwick 1.2.3" -DOUT=path/tool.1 -P help2man.cmake
#
# help2man turns the help's "Options:" into OPTIONS, and a heading such as
# "Exit status:" into a sub-heading of the section before it; the exit status
# is a section of its own in a manual page, so that heading is promoted. It is
# the last paragraph of every tool's help, so the sections stay in order.

execute_process(
  COMMAND "${HELP2MAN}" --no-info "--source=${SOURCE}" "--include=${INCLUDE}"
          "--output=${OUT}.tmp" "${TOOL}"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed on ${TOOL} (${rc}): does '${TOOL} --help' work?")
endif()
file(READ "${OUT}.tmp" text)
file(REMOVE "${OUT}.tmp")
string(REGEX REPLACE "\n\\.SS \"Exit (status|codes):\"\n" "\n.SH \"EXIT STATUS\"\n" text "${text}")
if(NOT text MATCHES "\n\\.SH \"EXIT STATUS\"\n")
  message(FATAL_ERROR "The help of ${TOOL} has no \"Exit status:\" paragraph.")
endif()
file(WRITE "${OUT}" "${text}")
execute_process(COMMAND "${GZIP}" -9nf -k "${OUT}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${OUT}")
endif()
