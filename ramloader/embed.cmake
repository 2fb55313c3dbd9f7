# Writes the RAM loader's binary as a C++ source file of its bytes.
# Usage: cmake -DINPUT=ram_loader.bin -DOUTPUT=ram_loader_image.cpp -P embed.cmake
file(READ ${INPUT} bytes HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
file(WRITE ${OUTPUT} "// Made by the build from the RAM loader's binary: do not edit.\n"
  "#include \"ramloader/ram_loader.h\"\n\n"
  "const unsigned char RAM_LOADER[] = {\n    ${bytes}\n};\n"
  "const unsigned RAM_LOADER_SIZE = sizeof RAM_LOADER;\n")
