# Writes a C++ source defining the bytes of a text file as a char array:
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -P embed_text.cmake
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT} "// Generated from ${INPUT}; edit that file, not this one.\n#include <cstddef>\n\nnamespace zimblo::songc {\n\nextern const char ${SYMBOL}[];\nextern const size_t ${SYMBOL}Size;\nconst char ${SYMBOL}[] = {\n${bytes}0};\nconst size_t ${SYMBOL}Size = ${size};\n\n}  // namespace zimblo::songc\n")
