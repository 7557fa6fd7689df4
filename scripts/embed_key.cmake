# Turns the raw client key file into a C++ source file holding its bytes.
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" len)
math(EXPR bytes "${len} / 2")
if(NOT bytes EQUAL 1024)
  message(FATAL_ERROR "client.key must be 1024 bytes, found ${bytes}")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
file(WRITE ${OUT} "// Generated from src/remote/client.key; do not edit.\n#include \"core/client_key.h\"\nconst unsigned char kClientKey[kClientKeySize] = {${body}};\n")
