# Writes a C++ source holding the bytes of the file STUB as an array, behind
# the functions NAME() and NAME##Size() that HEADER declares.
# Usage: cmake -DSTUB=path -DOUTPUT=file.cpp -DHEADER=dir/x.h -DNAME=Stub -P embed_stub.cmake
file(READ "${STUB}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
if(size EQUAL 0)
  message(FATAL_ERROR "the stub ${STUB} is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Break the one long line every 16 bytes to keep the source readable.
string(REPEAT "0x[0-9a-f][0-9a-f]," 16 sixteen)
string(REGEX REPLACE "(${sixteen})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.new"
  "// Generated from ${STUB} by embed_stub.cmake; do not edit.\n"
  "#include \"${HEADER}\"\n\n"
  "static const uint8_t kStub[${size}] = {\n${bytes}\n};\n\n"
  "const uint8_t* ${NAME}() { return kStub; }\n"
  "size_t ${NAME}Size() { return sizeof kStub; }\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
