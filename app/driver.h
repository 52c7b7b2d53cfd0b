#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "app/conversion.h"

// Exit statuses of the program.
constexpr int kExitSuccess = 0;
constexpr int kExitNoLibrary = 1;  // no library folder known: the usage text
constexpr int kExitFailure = -1;   // model not read or scene not written; 255 to the shell
constexpr int kExitBadOption = 2;  // an unknown option or a bad option value

// What one run is asked to do.
struct CommandLine
{
    bool showUsage = false;
    int usageStatus = kExitSuccess;  // the exit status after the usage text
    std::string ldrawDir;
    std::string modelPath;
    std::string outputPath;
};

// Chooses library, model and output from the arguments (argv[0] the program)
// and the value of LDRAWDIR (null when it is not set). Only the number of
// arguments decides which is which.
CommandLine ParseCommandLine(int argc, const char* const* argv, const char* ldrawDirVariable);

// The output file name for a model: its base name after the last '/' or '\',
// cut at its first '.', plus `extension` (".txt" for scene files); a name
// without '.' stays as it is. The file goes to the current folder, never
// beside the model.
std::string OutputNameFor(const std::string& modelPath, const char* extension = ".txt");

void PrintUsage(std::ostream& out);

// Reads the model with its library files, writes the output file and prints
// the statistics. Returns the exit status. A model that would expand beyond
// the limits (app/limits.h) is refused after reading, with one "Error: "
// line.
int ConvertModel(const ConversionRequest& request);

// The whole program: takes the options out, reads LDRAWDIR, then shows the
// usage text, the help or the version, or converts.
int RunPlinthex(int argc, const char* const* argv);
