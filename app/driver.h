#pragma once

#include <cstdint>
#include <ostream>
#include <string>

// Exit statuses of the program.
constexpr int kExitSuccess = 0;
constexpr int kExitNoLibrary = 1;  // no library folder known: the usage text
constexpr int kExitFailure = -1;   // model not read or scene not written; 255 to the shell

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

// The scene file name for a model: its base name after the last '/' or '\',
// cut at its first '.', plus ".txt"; a name without '.' stays as it is. The
// file goes to the current folder, never beside the model.
std::string OutputNameFor(const std::string& modelPath);

void PrintUsage(std::ostream& out);

// Most triangles a model may expand to while its parts are merged (counted
// with every placement's multiplicity, see CountTrianglesAfterMerging). A
// converted triangle takes 500 to 750 bytes of memory at the peak and about
// 220 bytes of scene file, so this is 5 to 8 GB and 2 GB; the largest real
// models come to about 300,000. Nested references multiply geometry, so a
// file of a few kilobytes could otherwise ask for more than any machine holds.
constexpr std::uint64_t kDefaultTriangleLimit = 10000000;

struct ConversionLimits
{
    std::uint64_t maxTriangles = kDefaultTriangleLimit;
};

// Reads the model with its library files, writes the scene file and prints
// the statistics. Returns the exit status. A model that would expand beyond
// the limits is refused after reading, with one "Error: " line.
int ConvertModel(const std::string& ldrawDir, const std::string& modelPath,
                 const std::string& outputPath,
                 const ConversionLimits& limits = ConversionLimits());

// The whole program: reads LDRAWDIR, then shows the usage text or converts.
int RunPlinthex(int argc, const char* const* argv);
