# Turns the files of korvweb's page (HTML, CSS, JavaScript) into one C++
# source that holds their bytes, so the binary serves the page by itself.
# IN_DIR: the page folder; OUT: the generated source.
file(GLOB files RELATIVE ${IN_DIR} ${IN_DIR}/*)
list(SORT files)
set(body "")
set(table "")
set(n 0)
foreach(name ${files})
  file(READ ${IN_DIR}/${name} hex HEX)
  string(LENGTH "${hex}" len)
  math(EXPR size "${len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "const unsigned char kFile${n}[] = {${bytes}0};\n")
  string(APPEND table "    {\"/${name}\", kFile${n}, ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE ${OUT} "// Generated from tools/korvweb/page; do not edit.\n#include \"korvweb/page.h\"\nnamespace korvweb {\nnamespace {\n${body}}  // namespace\nconst PageFile kPageFiles[] = {\n${table}};\nconst std::size_t kPageFileCount = ${n};\n}  // namespace korvweb\n")
