#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "model/colortable.h"

// Colour definitions in LDraw's own syntax, one per line:
//   0 !COLOUR <name> CODE <n> VALUE <v> EDGE <e> [ALPHA <a>] [LUMINANCE <l>]
//     [CHROME | PEARLESCENT | RUBBER | MATTE_METALLIC | METAL | MATERIAL <text...>]
// with the keyword pairs in any order, <v> written #RRGGBB or 0x2RRGGBB and
// <e> also a decimal colour code. Every line whose first two tokens are
// exactly 0 and !COLOUR is one definition; every other line is ignored.

// The value of --colours that keeps the built-in table.
constexpr const char* kBuiltinColours = "builtin";
// The value that reads LDConfig.ldr in the library folder.
constexpr const char* kLibraryColours = "ldconfig";

// Reads the definitions of `text` into `table`, a later definition of a code
// replacing an earlier one; `firstLine` numbers the text's first line. A
// definition without CODE, VALUE or EDGE, or with a value that cannot be
// read, is left out after one line "Error: <path> line N: <what>, colour
// ignored" on `err`. Codes 16 and 24 keep their inherited meaning: their
// definitions are passed over silently. Returns the definitions taken.
unsigned ReadColourDefinitions(std::string_view text, const std::string& path, ColorTable& table,
                               std::ostream& err, unsigned firstLine = 1);

// The path of the library's LDConfig.ldr, its name matched in any case as
// library file names are; empty when the folder has none.
std::string FindLibraryColourFile(const std::string& ldrawDir);
inline bool LibraryHasColourFile(const std::string& ldrawDir)
{
    return !FindLibraryColourFile(ldrawDir).empty();
}

// Fills `table` from a --colours value: "builtin" leaves it as it is,
// "ldconfig" reads the library's LDConfig.ldr, anything else is the path of
// a colour file. False, after one "Error: " line on `err`, when that file is
// missing or cannot be read.
bool LoadColourSource(const std::string& source, const std::string& ldrawDir, ColorTable& table,
                      std::ostream& err);

// Reads the model file's own definitions into `table`: in a multi-part file
// every section's, in file order; lines after a NOFILE line belong to no
// section and are passed over, as the reader passes them over. A model that
// is not a regular file (a pipe already read) contributes nothing.
void ReadModelColours(const std::string& modelPath, ColorTable& table, std::ostream& err);
