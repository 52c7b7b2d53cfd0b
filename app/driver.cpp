#include "app/driver.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "app/glboutput.h"
#include "app/heap.h"
#include "app/limits.h"
#include "app/options.h"
#include "app/previewoutput.h"
#include "model/instancedscene.h"
#include "model/legopart.h"
#include "model/parallel.h"
#include "model/stagetimer.h"
#include "output/scenefile.h"
#include "output/writer.h"
#include "reader/colourfile.h"
#include "reader/folderlisting.h"
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

std::string OutputNameFor(const std::string& modelPath, const char* extension)
{
    const std::size_t separator = modelPath.find_last_of("/\\");
    std::string name = separator == std::string::npos ? modelPath : modelPath.substr(separator + 1);
    // Cut at the first dot, not the last: car.old.ldr gives car.txt.
    const std::size_t dot = name.find('.');
    if (dot != std::string::npos)
        name.replace(dot, std::string::npos, extension);
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

// While the scene goes to standard output, progress, statistics and every
// other message go to standard error, so that the scene is all that standard
// output receives.
class MessagesAwayFromTheScene
{
public:
    explicit MessagesAwayFromTheScene(const std::string& outputPath)
    {
        if (!IsStandardOutput(outputPath))
            return;
        std::cout.flush();
        saved = std::cout.rdbuf(std::cerr.rdbuf());
    }
    ~MessagesAwayFromTheScene()
    {
        if (saved != nullptr)
            std::cout.rdbuf(saved);
    }
    MessagesAwayFromTheScene(const MessagesAwayFromTheScene&) = delete;
    MessagesAwayFromTheScene& operator=(const MessagesAwayFromTheScene&) = delete;

private:
    std::streambuf* saved = nullptr;
};

// Hands the cleaned nodes on to the writer and says "Writing file" once the
// cleaning is done, where a run that writes afterwards says it: its lines
// and messages come in the same order either way.
class SayingWhenWritten : public CleanedNodes
{
public:
    SayingWhenWritten(CleanedNodes& to, const std::string& path) : writer(to), outputPath(path) {}
    void Begin(const LegoPart& tree, unsigned firstLater) override
    {
        writer.Begin(tree, firstLater);
    }
    void Take(const LegoPart& tree, unsigned first, unsigned end) override
    {
        writer.Take(tree, first, end);
    }
    void End(const LegoPart& tree, unsigned first) override
    {
        std::cout << "Writing file " << outputPath << '\n' << std::flush;
        writer.End(tree, first);
    }

private:
    CleanedNodes& writer;
    const std::string& outputPath;
};

}  // namespace

int ConvertModel(const ConversionRequest& request)
{
    const MessagesAwayFromTheScene messages(request.outputPath);
    const std::string& ldrawDir = request.ldrawDir;
    const std::string& modelPath = request.modelPath;
    const std::string& outputPath = request.outputPath;
    Parallel::SetJobs(request.jobs);
    WarmHeapAhead();
    // A glb is bounded by its own count of the triangles its parts hold.
    constexpr std::uint64_t kGlbTriangleLimit = 10000000;
    const std::uint64_t maxTriangles =
        request.maxTriangles != 0 ? request.maxTriangles : kGlbTriangleLimit;
    if (std::getenv("PLINTHEX_TIMINGS") != nullptr)
        StageTimer::Enable();
    // A colour table that cannot be had ends the run before the model is read.
    // Unless asked otherwise, a scene file takes the built-in table and a glb
    // the library's LDConfig.ldr when there is one.
    std::string colourSource = request.colourSource;
    if (colourSource.empty())
        colourSource = request.format == OutputFormat::Glb && LibraryHasColourFile(ldrawDir)
                           ? kLibraryColours
                           : kBuiltinColours;
    LegoPart part;
    if (!LoadColourSource(colourSource, ldrawDir, part.Colours(), std::cerr))
        return kExitBadOption;
    std::cout << "Reading file " << modelPath << '\n' << std::flush;
    LDrawReader reader;
    reader.SetSkipMissing(request.skipMissing);
    if (request.keepListings)
        reader.SetListingCache(DefaultListingCacheFolder());
    if (!reader.Read(ldrawDir, modelPath, part))
    {
        std::cerr << "Error: reading file " << modelPath << " failed\n";
        if (!reader.FailureReason().empty())
            std::cerr << "Error: " << reader.FailureReason() << '\n';
        if (reader.FailedOnMissingFile())
            std::cerr << "Error: --skip-missing leaves out the files found nowhere and "
                         "converts the rest\n";
        return kExitFailure;
    }
    // The built-in table stays as it always was; any other table also takes
    // the model's own definitions.
    if (colourSource != kBuiltinColours)
        ReadModelColours(modelPath, part.Colours(), std::cerr);
    StageTimer::Mark("read");

    // The picture comes from the tree as read; a failed picture still lets
    // the output be written, and the run then ends with a failure. It is
    // drawn from the model's instanced scene, which an instanced output then
    // writes instead of building it again; a cleaning does not read it.
    std::optional<InstancedScene> scene;
    const bool isPreviewWritten =
        request.previewPath.empty() || WritePreviewOutput(request, part, scene);

    // A format of instanced parts merges each part once, however often it is
    // placed: it is bounded by its own count.
    const std::unique_ptr<ModelWriter> writer = MakeModelWriter(request.format);
    if (writer->Form() == ModelForm::InstancedScene)
    {
        if (!IsModelFile(outputPath, modelPath))
        {
            const int status = WriteInstancedOutput(request, part, maxTriangles, *writer, scene);
            return isPreviewWritten ? status : kExitFailure;
        }
        std::cerr << "Error: output file " << outputPath << " is the model file, not replaced\n";
        return kExitFailure;
    }
    scene.reset();
    const std::string refusal =
        CheckLimits(part, modelPath, request.maxTriangles, PhysicalMemory());
    if (!refusal.empty())
    {
        std::cerr << "Error: " << refusal << '\n';
        return kExitFailure;
    }

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
    bool isWritten = false;
    // A scene on standard output is written after the cleaning:
    // its messages go to standard error, and where one console shows both
    // they keep their places between the scene's lines.
    CleanedNodes* const taker = IsModelFile(outputPath, modelPath) || IsStandardOutput(outputPath)
                                    ? nullptr
                                    : writer->WriteWhileCleaned(outputPath, part.Colours());
    if (taker != nullptr)
    {
        // Written as it is cleaned; the console says so once the cleaning is
        // done, as below.
        SayingWhenWritten saying(*taker, outputPath);
        part.CleanGeometry(options, saying,
                           request.colourBatchTriangles != 0 ? request.colourBatchTriangles
                                                             : LegoPart::kColourBatchTriangles);
        isWritten = writer->IsWrittenWhileCleaned();
    }
    else
    {
        part.CleanGeometry(options);
        std::cout << "Writing file " << outputPath << '\n' << std::flush;
        if (IsModelFile(outputPath, modelPath))
            std::cerr << "Error: output file " << outputPath
                      << " is the model file, not replaced\n";
        else
        {
            ModelToWrite model;
            model.tree = &part;
            isWritten = writer->WriteModel(outputPath, model, part.Colours());
        }
    }
    StageTimer::Mark("write");
    writer->DumpStats(std::cout);
    std::cout.flush();
    return isWritten && isPreviewWritten ? kExitSuccess : kExitFailure;
}

namespace
{

bool EndsWithGlb(const std::string& name)
{
    if (name.size() < 4)
        return false;
    std::string end = name.substr(name.size() - 4);
    for (char& c : end)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return end == ".glb";
}

}  // namespace

int RunPlinthex(int argc, const char* const* argv)
{
    ConversionRequest request;
    const ParsedOptions options = ParseOptions(argc, argv, request);
    if (!options.error.empty())
    {
        std::cerr << "Error: " << options.error << '\n';
        return kExitBadOption;
    }
    if (options.showHelp)
    {
        PrintUsage(std::cout);
        PrintOptionHelp(std::cout);
        std::cout.flush();
        return kExitSuccess;
    }
    if (options.showVersion)
    {
        std::cout << "plinthex " << PLINTHEX_VERSION << '\n' << std::flush;
        return kExitSuccess;
    }

    std::vector<const char*> positional;
    positional.push_back(argc > 0 ? argv[0] : "plinthex");
    for (const std::string& argument : options.positional)
        positional.push_back(argument.c_str());
    const CommandLine command = ParseCommandLine(static_cast<int>(positional.size()),
                                                 positional.data(), std::getenv("LDRAWDIR"));
    if (command.showUsage)
    {
        PrintUsage(std::cout);
        std::cout.flush();
        return command.usageStatus;
    }
    request.ldrawDir = command.ldrawDir;
    request.modelPath = command.modelPath;
    const bool outputGiven = positional.size() >= 4;
    if (!options.formatGiven && outputGiven && EndsWithGlb(command.outputPath))
        request.format = OutputFormat::Glb;
    request.outputPath = command.outputPath;
    if (!outputGiven && request.format == OutputFormat::Glb)
    {
        request.outputPath = OutputNameFor(command.modelPath, ".glb");
        if (!EndsWithGlb(request.outputPath))
            request.outputPath += ".glb";
    }
    // A conversion that runs out of memory (or of threads) stops with one
    // line; the output it was writing is dropped, an older file kept.
    try
    {
        return ConvertModel(request);
    }
    catch (const std::bad_alloc&)
    {
        std::cerr << "Error: out of memory converting " << request.modelPath << "; stopped\n";
    }
    catch (const std::exception& error)
    {
        std::cerr << "Error: " << error.what() << " converting " << request.modelPath
                  << "; stopped\n";
    }
    return kExitFailure;
}
