#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "app/conversion.h"

// The long options of the command line. Each is "--name" or "--name=value";
// they may stand anywhere and are taken out before the positional arguments
// are counted. A lone "--" makes every later argument positional.
struct ParsedOptions
{
    bool showHelp = false;
    bool showVersion = false;
    bool formatGiven = false;             // --format was on the command line
    std::vector<std::string> positional;  // what is left, in order
    std::string error;                    // the first bad option; empty when all are good
};

// Takes the options out of argv[1..argc-1] into `request`.
ParsedOptions ParseOptions(int argc, const char* const* argv, ConversionRequest& request);

// One line per option, in table order, for --help.
void PrintOptionHelp(std::ostream& out);
