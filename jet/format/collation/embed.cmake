# Wraps a collation table file into a C++ source that defines it as text:
#   cmake -DIN=table.txt -DOUT=table.cpp -DNAME=identifier -P embed.cmake
file(READ "${IN}" text)
string(FIND "${text}" ")table\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${IN} holds the raw-string terminator")
endif()
file(WRITE "${OUT}.tmp"
  "// Generated from ${IN}; do not edit.\n"
  "#include <string_view>\n"
  "namespace jet::collation_data {\n"
  "extern const std::string_view ${NAME};\n"
  "const std::string_view ${NAME} = R\"table(${text})table\";\n"
  "}  // namespace jet::collation_data\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
