# Turns a binary file into a C++ source defining one byte array of a fixed size:
#   cmake -DINPUT=file.bin -DOUTPUT=file.cpp -DNAME=symbol -DSIZE=bytes -P embed_binary.cmake
file(READ ${INPUT} content HEX)
string(LENGTH "${content}" digits)
math(EXPR bytes "${digits} / 2")
if(NOT bytes EQUAL SIZE)
  message(FATAL_ERROR "${INPUT} holds ${bytes} bytes, not ${SIZE}")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," content "${content}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " content "${content}")
file(WRITE ${OUTPUT}
  "// Made by embed_binary.cmake from ${INPUT}; do not edit.\n"
  "extern const unsigned char ${NAME}[${SIZE}];\n"
  "const unsigned char ${NAME}[${SIZE}] = {\n    ${content}\n};\n")
