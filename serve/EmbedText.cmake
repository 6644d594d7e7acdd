# cmake -DINPUT=file -DOUTPUT=header -DNAME=identifier -P EmbedText.cmake
# Writes a header that holds INPUT's text as `inline constexpr std::string_view NAME`, so that a
# document served by the program is the one file in the source tree, byte for byte.
file(READ "${INPUT}" text)
set(delimiter "vetrix_embed")
string(FIND "${text}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains the raw string's closing sequence")
endif()
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT} by serve/EmbedText.cmake; do not edit.\n"
  "#pragma once\n#include <string_view>\n"
  "inline constexpr std::string_view ${NAME} = R\"${delimiter}(${text})${delimiter}\";\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
