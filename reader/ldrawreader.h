#pragma once

#include <string>

#include "model/legopart.h"

// Reads an LDraw model and every file it references from the library into a
// part tree: one node per distinct file, node 0 the model.
class LDrawReader
{
public:
    // Empties `part` and reads the model file (opened by its path as given)
    // into it. False when the model file cannot be opened or one of its own
    // references is found nowhere.
    bool Read(const std::string& ldrawDir, const std::string& modelPath, LegoPart& part);

protected:
    std::string ldrawDir;
    int tagCounter = 0;
};
