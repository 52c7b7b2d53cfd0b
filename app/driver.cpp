#include "app/driver.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "clean/expansion.h"
#include "model/legopart.h"
#include "model/stagetimer.h"
#include "output/writetriset.h"
#include "reader/ldrawreader.h"

CommandLine ParseCommandLine(int argc, const char* const* argv, const char* ldrawDirVariable)
{
    CommandLine command;
    if (ldrawDirVariable == nullptr && argc < 3)
    {
        command.showUsage = true;
        command.usageStatus = kExitNoLibrary;
        return command;
    }
    if (argc >= 3)
    {
        // An explicit library folder wins over LDRAWDIR; arguments after the
        // output name are ignored.
        command.ldrawDir = argv[1];
        command.modelPath = argv[2];
        command.outputPath = argc >= 4 ? argv[3] : OutputNameFor(command.modelPath);
        return command;
    }
    if (argc == 2)
    {
        command.ldrawDir = ldrawDirVariable;
        command.modelPath = argv[1];
        command.outputPath = OutputNameFor(command.modelPath);
        return command;
    }
    command.showUsage = true;
    command.usageStatus = kExitSuccess;
    return command;
}

std::string OutputNameFor(const std::string& modelPath)
{
    const std::size_t separator = modelPath.find_last_of("/\\");
    std::string name = separator == std::string::npos ? modelPath : modelPath.substr(separator + 1);
    // Cut at the first dot, not the last: car.old.ldr gives car.txt.
    const std::size_t dot = name.find('.');
    if (dot != std::string::npos)
        name.replace(dot, std::string::npos, ".txt");
    return name;
}

void PrintUsage(std::ostream& out)
{
    out << "Plinthex [ldraw_dir] filename outname\n"
        << "\tconverts MLCAD file filename into outname using ldraw_dir as \n"
        << "\tthe base LDRAW directory, e.g., C:\\stuff\\LDRAW\n"
        << "\tldraw_dir is optional only if environment variable LDRAWDIR \n"
           "\tis set to the proper directory\n"
        << "\tMore options later\n\tVersion 0.1"
        << "\n";
}

namespace
{

// True when `outputPath` names the model file itself, which a scene must
// never replace (a model without extension in the current folder).
bool IsModelFile(const std::string& outputPath, const std::string& modelPath)
{
    std::error_code error;
    return std::filesystem::equivalent(outputPath, modelPath, error) && !error;
}

}  // namespace

int ConvertModel(const std::string& ldrawDir, const std::string& modelPath,
                 const std::string& outputPath, const ConversionLimits& limits)
{
    if (std::getenv("PLINTHEX_TIMINGS") != nullptr)
        StageTimer::Enable();
    std::cout << "Reading file " << modelPath << '\n' << std::flush;
    LDrawReader reader;
    LegoPart part;
    if (!reader.Read(ldrawDir, modelPath, part))
    {
        std::cerr << "Error: reading file " << modelPath << " failed\n";
        return kExitFailure;
    }
    if (CountTrianglesAfterMerging(part) > limits.maxTriangles)
    {
        std::cerr << "Error: " << modelPath << " expands to more than " << limits.maxTriangles
                  << " triangles; not converted\n";
        return kExitFailure;
    }

    StageTimer::Mark("read");

    // Whole, single-coloured, smoothed parts scaled by 0.05, with their
    // bounding boxes; the options are fixed.
    std::cout << "Optimizing geometry\n";
    LegoPart::clean_t options;
    options.scale = true;
    options.scaleFactor = 0.05;
    options.boxFlag = false;
    options.upperLimit = Vector3(0.8, 0.8, 0.8);
    options.lowerLimit = Vector3(-0.8, -0.8, -0.8);
    options.smoothNormals = true;
    options.flattenAll = false;
    options.flattenToParts = true;
    part.CleanGeometry(options);

    std::cout << "Writing file " << outputPath << '\n' << std::flush;
    WriteTriset writer;
    bool isWritten = false;
    if (IsModelFile(outputPath, modelPath))
        std::cerr << "Error: output file " << outputPath << " is the model file, not replaced\n";
    else
        isWritten = writer.Write(outputPath.c_str(), part, true);
    StageTimer::Mark("write");
    writer.DumpStats(std::cout);
    std::cout.flush();
    return isWritten ? kExitSuccess : kExitFailure;
}

int RunPlinthex(int argc, const char* const* argv)
{
    const CommandLine command = ParseCommandLine(argc, argv, std::getenv("LDRAWDIR"));
    if (command.showUsage)
    {
        PrintUsage(std::cout);
        std::cout.flush();
        return command.usageStatus;
    }
    return ConvertModel(command.ldrawDir, command.modelPath, command.outputPath);
}
