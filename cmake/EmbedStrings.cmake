# Turns src/common/strings/<lang>.txt into one C++ source. Each data line is
# "<offset><TAB><text>"; "\n", "\t" and "\\" are escapes; lines starting with '#' are comments.
file(GLOB files "${DIR}/*.txt")
list(SORT files)
set(body "// Generated from src/common/strings; do not edit.\n#include \"common/StringData.h\"\nnamespace salvex {\nconst std::vector<StringFile>& EmbeddedStringFiles() {\n  static const std::vector<StringFile> files = {\n")
foreach(f ${files})
  get_filename_component(stem "${f}" NAME_WE)
  file(READ "${f}" content HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${content}")
  string(LENGTH "${content}" hexlen)
  math(EXPR len "${hexlen} / 2")
  # Split the literal so that no single string literal grows beyond compiler limits.
  string(REGEX REPLACE "((\\\\x[0-9a-f][0-9a-f]){512})" "\\1\"\n\"" escaped "${escaped}")
  string(APPEND body "    {\"${stem}\", std::string_view(\"${escaped}\", ${len})},\n")
endforeach()
string(APPEND body "  };\n  return files;\n}\n}  // namespace salvex\n")
file(WRITE "${OUT}" "${body}")
