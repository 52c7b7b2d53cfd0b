// Runs the built program as a process, in a fresh working folder, with its
// standard output and standard error captured apart.

#include <cctype>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/plinthex_process.h"
#include "tests/scene_check.h"
#include "tests/temp_folder.h"

namespace
{

using plinthex_process::Invocation;
using plinthex_process::Result;
using plinthex_process::RunPlinthex;

const std::string kExamples = PLINTHEX_EXAMPLES_DIR;
const std::string kShared = PLINTHEX_SHARED_DIR;

const char kUsage[] =
    "Plinthex [ldraw_dir] filename outname\n"
    "\tconverts MLCAD file filename into outname using ldraw_dir as \n"
    "\tthe base LDRAW directory, e.g., C:\\stuff\\LDRAW\n"
    "\tldraw_dir is optional only if environment variable LDRAWDIR \n"
    "\tis set to the proper directory\n"
    "\tMore options later\n"
    "\tVersion 0.1\n";

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

// "Reading file", any "Error: cannot find file" lines of the reader,
// "Optimizing geometry", "Writing file" and the five statistics lines, in
// that order and nothing after them.
::testing::AssertionResult IsConversionReport(const std::string& out, const std::string& model,
                                              const std::string& output)
{
    const std::vector<std::string> lines = Lines(out);
    const char* labels[] = {
        "Polygons : ", "Vertices : ", "Meshes   : ", "Instances: ", "Levels   : "};
    if (out.empty() || out.back() != '\n' || lines.size() < 7)
        return ::testing::AssertionFailure() << "report too short:\n" << out;
    if (lines.front() != "Reading file " + model)
        return ::testing::AssertionFailure() << "first line " << lines.front();
    const std::size_t writing = lines.size() - 6;
    for (std::size_t i = 1; i + 1 < writing; ++i)
        if (lines[i].rfind("Error: cannot find file ", 0) != 0)
            return ::testing::AssertionFailure() << "unexpected line " << lines[i];
    if (lines[writing - 1] != "Optimizing geometry")
        return ::testing::AssertionFailure() << "expected Optimizing geometry in\n" << out;
    if (lines[writing] != "Writing file " + output)
        return ::testing::AssertionFailure() << "expected Writing file " << output << " in\n"
                                             << out;
    for (std::size_t i = 0; i < 5; ++i)
    {
        const std::string& line = lines[writing + 1 + i];
        if (line.compare(0, 11, labels[i]) != 0 || line.size() == 11 ||
            line.find_first_not_of("0123456789", 11) != std::string::npos)
            return ::testing::AssertionFailure() << "statistics line " << line;
    }
    return ::testing::AssertionSuccess();
}

std::string StatisticsOf(const std::string& out)
{
    const std::vector<std::string> lines = Lines(out);
    std::string statistics;
    for (std::size_t i = lines.size() >= 5 ? lines.size() - 5 : 0; i < lines.size(); ++i)
        statistics += lines[i] + "\n";
    return statistics;
}

// The model's base name cut at its first '.', plus ".txt".
std::string OutputNameForTest(const std::string& model)
{
    return model.substr(0, model.find('.')) + ".txt";
}

const char kZeroStatistics[] =
    "Polygons : 0\nVertices : 0\nMeshes   : 0\nInstances: 0\nLevels   : 0\n";

class PlinthexProcess : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(work.path.empty());
        model = kExamples + "/house.ldr";
    }

    Invocation In(std::vector<std::string> arguments, const char* ldrawDir = nullptr) const
    {
        Invocation invocation;
        invocation.arguments = std::move(arguments);
        invocation.ldrawDir = ldrawDir;
        invocation.folder = work.path;
        return invocation;
    }

    // The scene of the bundled house, as a plain two-argument run writes it.
    std::string ReferenceScene()
    {
        const TempFolder other;
        Invocation invocation = In({kExamples, model});
        invocation.folder = other.path;
        const Result result = RunPlinthex(invocation);
        EXPECT_EQ(result.status, 0) << result.err;
        return ReadFile(other / "house.txt");
    }

    TempFolder work;
    std::string model;
};

TEST_F(PlinthexProcess, UsageTextAndStatusWhenArgumentsAreTooFew)
{
    struct Case
    {
        std::vector<std::string> arguments;
        const char* ldrawDir;
        int status;
    };
    const Case cases[] = {{{}, nullptr, 1}, {{"house.ldr"}, nullptr, 1}, {{}, "/lib", 0}};
    for (const Case& c : cases)
    {
        const Result result = RunPlinthex(In(c.arguments, c.ldrawDir));
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, kUsage);
        EXPECT_EQ(result.err, "");
    }
    EXPECT_TRUE(work.List().empty());
}

TEST_F(PlinthexProcess, ArgumentTableWithAndWithoutLdrawDir)
{
    const std::string reference = ReferenceScene();
    ASSERT_EQ(reference.compare(0, 14, "TRISETIO 1.0\n\n"), 0);
    struct Case
    {
        std::vector<std::string> arguments;
        const char* ldrawDir;
        std::string output;
    };
    const std::string bogus = work / "no-library-here";
    const Case cases[] = {
        {{model}, kExamples.c_str(), "house.txt"},
        {{kExamples, model}, nullptr, "house.txt"},
        {{kExamples, model}, bogus.c_str(), "house.txt"},
        {{kExamples, model, "scene.out"}, nullptr, "scene.out"},
        {{kExamples, model, "scene.out"}, bogus.c_str(), "scene.out"},
        {{kExamples, model, "scene.out", "ignored.txt"}, bogus.c_str(), "scene.out"},
    };
    for (const Case& c : cases)
    {
        const Result result = RunPlinthex(In(c.arguments, c.ldrawDir));
        EXPECT_EQ(result.status, 0) << c.arguments.size() << " arguments";
        EXPECT_TRUE(IsConversionReport(result.out, model, c.output));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(work.List(), std::vector<std::string>{c.output});
        EXPECT_EQ(ReadFile(work / c.output), reference);
        std::filesystem::remove(work / c.output);
    }
}

TEST_F(PlinthexProcess, WithLdrawDirTwoArgumentsStillMeanLibraryAndModel)
{
    const Result result = RunPlinthex(In({model, "scene.txt"}, kExamples.c_str()));
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, "Reading file scene.txt\n");
    EXPECT_EQ(
        result.err,
        "Error: reading file scene.txt failed\nError: scene.txt: No such file or directory\n");
    EXPECT_TRUE(work.List().empty());
}

TEST_F(PlinthexProcess, OutputIsNamedAfterTheModelInTheWorkingFolder)
{
    const std::string text = ReadFile(model);
    std::filesystem::create_directories(work / "models.v2");
    WriteTextFile(work / "models.v2/my.house.v2.ldr", text);
    WriteTextFile(work / "models.v2/cottage", text);
    WriteTextFile(work / "old\\barn.ldr", text);  // a backslash in the name
    struct Case
    {
        std::string model;
        std::string output;
    };
    const Case cases[] = {{"models.v2/my.house.v2.ldr", "my.txt"},
                          {work / "models.v2/cottage", "cottage"},
                          {"old\\barn.ldr", "barn.txt"}};
    for (const Case& c : cases)
    {
        const Result result = RunPlinthex(In({kExamples, c.model}));
        EXPECT_EQ(result.status, 0) << c.model;
        EXPECT_TRUE(IsConversionReport(result.out, c.model, c.output));
        EXPECT_EQ(ReadFile(work / c.output).compare(0, 14, "TRISETIO 1.0\n\n"), 0) << c.output;
    }
    EXPECT_EQ(work.List(), (std::vector<std::string>{"barn.txt", "cottage", "models.v2", "my.txt",
                                                     "old\\barn.ldr"}));
    EXPECT_EQ(ReadFile(work / "models.v2/cottage"), text);
}

TEST_F(PlinthexProcess, AModelThatCannotBeReadWritesNothing)
{
    WriteTextFile(work / "missing.txt", "an older scene\n");
    Result result = RunPlinthex(In({kExamples, "missing.ldr"}));
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, "Reading file missing.ldr\n");
    EXPECT_EQ(result.err,
              "Error: reading file missing.ldr failed\nError: missing.ldr: No such "
              "file or directory\n");

    // A reference found nowhere in the library ends the reading of the model.
    WriteTextFile(work / "broken.ldr", "1 4 0 0 0 1 0 0 0 1 0 0 0 1 nosuchpart.dat\n");
    result = RunPlinthex(In({kExamples, "broken.ldr"}));
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, "Reading file broken.ldr\nError: cannot find file nosuchpart.dat\n");
    EXPECT_EQ(result.err,
              "Error: reading file broken.ldr failed\nError: --skip-missing leaves "
              "out the files found nowhere and converts the rest\n");

    EXPECT_EQ(work.List(), (std::vector<std::string>{"broken.ldr", "missing.txt"}));
    EXPECT_EQ(ReadFile(work / "missing.txt"), "an older scene\n");
}

TEST_F(PlinthexProcess, AnUnwritableOutputPathFailsWithZeroStatistics)
{
    std::filesystem::create_directories(work / "taken.txt");
    for (const std::string output : {"no/such/folder/out.txt", "taken.txt"})
    {
        const Result result = RunPlinthex(In({kExamples, model, output}));
        EXPECT_EQ(result.status, 255);
        EXPECT_TRUE(IsConversionReport(result.out, model, output));
        EXPECT_EQ(StatisticsOf(result.out), kZeroStatistics);
        EXPECT_EQ(
            result.err,
            "Error: Cannot open file " + output + " for writing\nError: " + output +
                (output == "taken.txt" ? ": Is a directory\n" : ": No such file or directory\n"));
    }
    EXPECT_EQ(work.List(), std::vector<std::string>{"taken.txt"});
}

TEST_F(PlinthexProcess, AFailedWriteLeavesTheExistingFileIntact)
{
    WriteTextFile(work / "house.txt", "the scene of yesterday\n");
    Invocation invocation = In({kExamples, model});
    invocation.fileSizeLimit = 4096;
    const Result result = RunPlinthex(invocation);
    EXPECT_EQ(result.status, 255);
    EXPECT_TRUE(IsConversionReport(result.out, model, "house.txt"));
    // The statistics count what was written before the failure showed.
    EXPECT_NE(StatisticsOf(result.out), kZeroStatistics);
    EXPECT_EQ(result.err,
              "Error: writing file house.txt failed\nError: house.txt: File too large\n");
    EXPECT_EQ(ReadFile(work / "house.txt"), "the scene of yesterday\n");
    EXPECT_EQ(work.List(), std::vector<std::string>{"house.txt"});
}

TEST_F(PlinthexProcess, AModelWithoutExtensionIsNeverReplacedByItsScene)
{
    const std::string text = ReadFile(model);
    WriteTextFile(work / "house", text);
    for (const Invocation& invocation :
         {In({kExamples, "house"}), In({kExamples, "house", "./house"})})
    {
        const Result result = RunPlinthex(invocation);
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(StatisticsOf(result.out), kZeroStatistics);
        EXPECT_NE(result.err.find("Error: output file "), std::string::npos) << result.err;
    }
    EXPECT_EQ(ReadFile(work / "house"), text);
    EXPECT_EQ(work.List(), std::vector<std::string>{"house"});
}

TEST_F(PlinthexProcess, TheBundledExampleConverts)
{
    const Result result = RunPlinthex(In({kExamples, model}));
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(IsConversionReport(result.out, model, "house.txt"));
    EXPECT_EQ(result.err, "");
    const std::string scene = ReadFile(work / "house.txt");
    // Well formed, and the statistics count what the file holds.
    const SceneCheck check = CheckScene(scene);
    EXPECT_TRUE(check.ok) << check.error;
    SceneCounts reported;
    ASSERT_TRUE(ParseStats(StatisticsOf(result.out), reported));
    EXPECT_TRUE(reported == check.counts);
    for (const char* part :
         {"px4x4plate.dat", "px1x2brick.dat", "px1x2window.dat", "px2x2brick.dat", "px2x4roof.dat"})
        EXPECT_NE(scene.find(std::string("SOURCE = LEVEL ") + part + "\n"), std::string::npos)
            << part;
}

// "" when the texts are equal; otherwise the number of the first line that
// differs, with both versions of it.
std::string FirstDifference(const std::string& expected, const std::string& actual)
{
    const std::vector<std::string> want = Lines(expected), got = Lines(actual);
    for (std::size_t i = 0; i < want.size() || i < got.size(); ++i)
    {
        const std::string wanted = i < want.size() ? want[i] : "<end of file>";
        const std::string found = i < got.size() ? got[i] : "<end of file>";
        if (wanted != found)
            return "line " + std::to_string(i + 1) + ": expected \"" + wanted + "\", got \"" +
                   found + "\"";
    }
    return expected == actual ? "" : "the line ends differ";
}

// The golden files come from scripts/regenerate_goldens.sh.
TEST_F(PlinthexProcess, TheBundledHouseMatchesItsGoldenSceneAndConsoleText)
{
    const std::string golden = PLINTHEX_GOLDEN_DIR;
    const Result result = RunPlinthex(In({kExamples, model}));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    std::string console = result.out;
    for (std::size_t at = console.find(kExamples); at != std::string::npos;
         at = console.find(kExamples, at))
        console.replace(at, kExamples.size(), "examples");
    EXPECT_EQ(FirstDifference(ReadFile(golden + "/house.console.txt"), console), "");
    EXPECT_EQ(FirstDifference(ReadFile(golden + "/house.txt"), ReadFile(work / "house.txt")), "");
}

// Every model shipped beside the library converts: exit status 0, the report
// in order, a well-formed scene whose contents the statistics count.
struct SharedModelCase
{
    const char* model;
    // 64-bit FNV-1a of the scene file: any change of output shows here.
    std::uint64_t sceneHash;
    // The faces the root places (SceneCheck::placedPolygons). A model's .ldr
    // form (every sub-model inlined) and its .mpd form (sub-models embedded)
    // group their nodes differently but place the same faces.
    std::uint64_t placedPolygons;
};

// Faces placed by each model shipped in both forms.
constexpr std::uint64_t kCarriageHouseFaces = 1079845;
constexpr std::uint64_t kHeadsGridFaces = 287276;
constexpr std::uint64_t kRedDevilRacerFaces = 91394;
constexpr std::uint64_t kSaltFlatsSpeederFaces = 56771;
constexpr std::uint64_t kSmallShuttleFaces = 124490;

std::uint64_t HashText(const std::string& text)
{
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const unsigned char c : text)
        hash = (hash ^ c) * 0x100000001b3ull;
    return hash;
}

class SharedModel : public ::testing::TestWithParam<SharedModelCase>
{
};

TEST_P(SharedModel, ConvertsToAWellFormedScene)
{
    const std::string model = GetParam().model;
    const std::string path = kShared + "/models/" + model;
    if (access(path.c_str(), R_OK) != 0 || access((kShared + "/ldraw").c_str(), R_OK) != 0)
        GTEST_SKIP() << "the shared LDraw library and models are not at " << kShared;
    const TempFolder work;
    Invocation invocation;
    invocation.arguments = {kShared + "/ldraw", path};
    invocation.folder = work.path;
    const Result result = RunPlinthex(invocation);
    EXPECT_EQ(result.status, 0) << result.err;
    const std::string output = OutputNameForTest(model);
    EXPECT_TRUE(IsConversionReport(result.out, path, output));
    // Nothing missing, unreadable or cyclic in the shared models.
    EXPECT_EQ(result.out.find("Error: "), std::string::npos) << result.out;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(work.List(), std::vector<std::string>{output});
    const std::string scene = ReadFile(work / output);
    const SceneCheck check = CheckScene(scene);
    EXPECT_TRUE(check.ok) << check.error;
    SceneCounts reported;
    ASSERT_TRUE(ParseStats(StatisticsOf(result.out), reported));
    EXPECT_TRUE(reported == check.counts);
    EXPECT_GT(check.counts.polygons, 0u);
    EXPECT_EQ(check.placedPolygons, GetParam().placedPolygons);
    EXPECT_EQ(HashText(scene), GetParam().sceneHash)
        << std::hex << "scene hash 0x" << HashText(scene) << " of " << scene.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(
    Models, SharedModel,
    ::testing::Values(
        SharedModelCase{"car.ldr", 0x88e65112026dce67ull, 23853},
        SharedModelCase{"pyramid.ldr", 0xa4f0074a40bfe162ull, 8716},
        SharedModelCase{"ldr_carriage_house_new.ldr", 0x1e4be268e97bb424ull, kCarriageHouseFaces},
        SharedModelCase{"ldr_carriage_house_new.mpd", 0xc24dbeafa2c306ecull, kCarriageHouseFaces},
        SharedModelCase{"ldr_heads_grid_new.ldr", 0xdc6846f462e58da9ull, kHeadsGridFaces},
        SharedModelCase{"ldr_heads_grid_new.mpd", 0x2ae8aa6787a17f6bull, kHeadsGridFaces},
        SharedModelCase{"ldr_red_devil_racer_new.ldr", 0x1487882c3b62b75cull, kRedDevilRacerFaces},
        SharedModelCase{"ldr_red_devil_racer_new.mpd", 0x57ce7de982673845ull, kRedDevilRacerFaces},
        SharedModelCase{"ldr_salt_flats_speeder_new.ldr", 0x1f95449beac9fe9aull,
                        kSaltFlatsSpeederFaces},
        SharedModelCase{"ldr_salt_flats_speeder_new.mpd", 0x6aa237d073ec796bull,
                        kSaltFlatsSpeederFaces},
        SharedModelCase{"ldr_small_shuttle_new.ldr", 0xb202a55afd20ad5cull, kSmallShuttleFaces},
        SharedModelCase{"ldr_small_shuttle_new.mpd", 0xf9dd9d2891cd4f8full, kSmallShuttleFaces},
        SharedModelCase{"stress_big_parts.ldr", 0x0d62562b71c8c9e2ull, 257619}),
    [](const ::testing::TestParamInfo<SharedModelCase>& param)
    {
        std::string name = param.param.model;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

}  // namespace
