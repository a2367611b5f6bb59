# cmake -DIN=<file> -DOUT=<file.cpp> -DSYMBOL=<name> -P embedfile.cmake
# Writes a C++ source that holds IN's bytes as
# `extern const unsigned char SYMBOL[]` (a NUL appended) and
# `extern const int SYMBOL_size`, so the library and a fuzz target compiled
# from sources both get the file without a resource system.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUT}.tmp"
  "// Made from ${IN} by embedfile.cmake; do not edit.\n"
  "extern const unsigned char ${SYMBOL}[];\nextern const int ${SYMBOL}_size;\n"
  "const unsigned char ${SYMBOL}[] = {${bytes}0};\nconst int ${SYMBOL}_size = ${size};\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
