# cmake -DOUTPUT=<file.cpp> -DQM_DIR=<folder> -DLANGUAGES=<a;b> -P embed_qm.cmake
# Writes the .qm files signer_<language>.qm of QM_DIR as byte arrays into one
# source file, with the table translations.h declares.
set(_text "// Generated from the .qm files by signer/cmake/embed_qm.cmake; do not edit.\n#include \"translations.h\"\n\nnamespace {\n")
set(_table "")
set(_count 0)
foreach(_language ${LANGUAGES})
  set(_file ${QM_DIR}/signer_${_language}.qm)
  file(READ ${_file} _hex HEX)
  string(LENGTH "${_hex}" _length)
  math(EXPR _size "${_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
  string(APPEND _text "const unsigned char kQm_${_language}[] = {${_bytes}};\n")
  string(APPEND _table "    {\"${_language}\", kQm_${_language}, ${_size}},\n")
  math(EXPR _count "${_count} + 1")
endforeach()
string(APPEND _text "} // namespace\n\nconst EmbeddedTranslation kSignerTranslations[] = {\n${_table}    {nullptr, nullptr, 0},\n};\nconst int kSignerTranslationCount = ${_count};\n")
file(WRITE ${OUTPUT}.tmp "${_text}")
configure_file(${OUTPUT}.tmp ${OUTPUT} COPYONLY)
