// Broken and hostile input through the program as a process: it must end with
// a clear "Error: " line or a sound scene, never crash, hang or lose a file.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/plinthex_process.h"
#include "tests/scene_check.h"
#include "tests/temp_folder.h"

namespace
{

namespace fs = std::filesystem;
using plinthex_process::Invocation;
using plinthex_process::Result;
using plinthex_process::RunPlinthex;

using plinthex_process::kTriangle;
using plinthex_process::Ref;

// Words of a scene that would read as "nan" or "inf" in any spelling.
std::string NonFiniteWordIn(const std::string& text)
{
    std::istringstream words(text);
    for (std::string word; words >> word;)
    {
        std::string bare = word[0] == '-' || word[0] == '+' ? word.substr(1) : word;
        std::transform(bare.begin(), bare.end(), bare.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (bare.compare(0, 3, "nan") == 0 || bare.compare(0, 3, "inf") == 0)
            return word;
    }
    return std::string();
}

// Runs in a fresh folder holding a small library in lib/ (lower case, as
// found on case-sensitive disks).
class HostileInput : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(work.path.empty());
        Write("lib/parts/brick.dat", kTriangle + "4 16 0 0 5 10 0 5 10 10 5 0 10 5\n");
    }

    void Write(const std::string& relative, const std::string& text)
    {
        fs::create_directories(fs::path(work / relative).parent_path());
        WriteTextFile(work / relative, text);
    }

    Result Convert(const std::string& model, std::vector<std::string> more = {})
    {
        Invocation invocation;
        invocation.arguments = {"lib", model};
        invocation.arguments.insert(invocation.arguments.end(), more.begin(), more.end());
        invocation.folder = work.path;
        return RunPlinthex(invocation);
    }

    // A successful run: exit 0, a scene whose structure matches the printed
    // statistics and that holds only finite numbers.
    ::testing::AssertionResult Converted(const Result& result, const std::string& scene)
    {
        if (result.status != 0)
            return ::testing::AssertionFailure() << "status " << result.status << "\n"
                                                 << result.err;
        const std::string text = ReadFile(work / scene);
        const SceneCheck check = CheckScene(text);
        if (!check.ok)
            return ::testing::AssertionFailure() << scene << ": " << check.error;
        SceneCounts printed;
        if (!ParseStats(result.out.substr(result.out.find("Polygons")), printed) ||
            !(printed == check.counts))
            return ::testing::AssertionFailure() << "statistics differ from the scene";
        const std::string word = NonFiniteWordIn(text);
        if (!word.empty())
            return ::testing::AssertionFailure() << scene << " holds " << word;
        return ::testing::AssertionSuccess();
    }

    TempFolder work;
};

TEST_F(HostileInput, ModelsThatAreFoldersMissingEmptyOrBinaryGarbage)
{
    fs::create_directories(work / "folder.ldr");
    for (const std::string model : {"folder.ldr", "missing.ldr"})
    {
        const Result result = Convert(model);
        EXPECT_EQ(result.status, 255) << model;
        EXPECT_EQ(result.out, "Reading file " + model + "\n");
        EXPECT_EQ(
            result.err.rfind("Error: reading file " + model + " failed\nError: " + model + ": ", 0),
            0u)
            << result.err;
    }
    EXPECT_FALSE(fs::exists(work / "folder.txt"));
    EXPECT_FALSE(fs::exists(work / "missing.txt"));

    // Nothing to convert is not an error: an empty scene.
    Write("empty.ldr", "");
    Result result = Convert("empty.ldr");
    EXPECT_TRUE(Converted(result, "empty.txt"));
    EXPECT_EQ(result.err, "");

    // Bytes of every value, NULs included: lines that are no statement are
    // ignored, ten named and the rest counted.
    std::string garbage = kTriangle;
    for (int i = 0; i < 4096; ++i)
        garbage += static_cast<char>((i * 7919) % 256);
    Write("garbage.ldr", garbage);
    result = Convert("garbage.ldr");
    EXPECT_TRUE(Converted(result, "garbage.txt"));
    EXPECT_EQ(
        result.err.rfind("Error: garbage.ldr line 2: not an LDraw statement, line ignored\n", 0),
        0u);
    EXPECT_NE(result.err.find(" more lines that are not LDraw statements ignored\n"),
              std::string::npos);
}

// Out of memory, wherever it strikes (threads that cannot start, lists that
// cannot grow), a conversion stops with one line and fails; an older scene
// of that name stays as it was.
TEST_F(HostileInput, RunningOutOfMemoryStopsWithOneLineAndKeepsTheOldScene)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer maps room of its own";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    GTEST_SKIP() << "a sanitizer maps room of its own";
#endif
#endif
    // A part of a million triangles, none sharing a corner: a thousand of
    // them placed a thousand times.
    std::string grid, part;
    for (int i = 0; i < 1000; ++i)
    {
        const std::string x = std::to_string(i);
        grid += "3 16 " + x + " 0 0 " + x + ".5 1 0 " + x + " 0 1\n";
        part += "1 16 0 " + std::to_string(3 * i) + " 0 1 0 0 0 1 0 0 0 1 s/grid.dat\n";
    }
    Write("lib/parts/s/grid.dat", grid);
    Write("lib/parts/big.dat", part);
    Write("model.ldr", Ref("big.dat"));
    for (const rlim_t megabytes : {120, 250})
    {
        Write("model.txt", "the old scene\n");
        Invocation invocation;
        invocation.arguments = {"lib", "model.ldr"};
        invocation.folder = work.path;
        invocation.addressSpaceLimit = megabytes << 20;
        const Result result = RunPlinthex(invocation);
        EXPECT_EQ(result.status, 255) << megabytes << " MB";
        EXPECT_EQ(result.err, "Error: out of memory converting model.ldr; stopped\n")
            << megabytes << " MB";
        EXPECT_EQ(ReadFile(work / "model.txt"), "the old scene\n");
    }
}

TEST_F(HostileInput, LibraryEntriesThatAreFoldersOrCannotBeReadAreNotFound)
{
    fs::create_directories(work / "lib/parts/folder.dat");
    fs::create_symlink("nowhere.dat", work / "lib/parts/dangling.dat");
    ASSERT_EQ(mkfifo((work / "lib/parts/pipe.dat").c_str(), 0644), 0);
    std::vector<std::string> names = {"folder.dat", "dangling.dat", "pipe.dat"};
    // Root reads files whatever their mode says.
    if (geteuid() != 0)
    {
        Write("lib/parts/secret.dat", kTriangle);
        ASSERT_EQ(chmod((work / "lib/parts/secret.dat").c_str(), 0), 0);
        names.push_back("secret.dat");
    }
    for (const std::string& name : names)
    {
        fs::remove(work / "model.txt");
        // Placed by the model itself, a missing file ends the conversion...
        Write("model.ldr", Ref("brick.dat") + Ref(name));
        Result result = Convert("model.ldr");
        EXPECT_EQ(result.status, 255) << name;
        EXPECT_EQ(result.out, "Reading file model.ldr\nError: cannot find file " + name + "\n");
        EXPECT_EQ(
            result.err.rfind("Error: reading file model.ldr failed\nError: --skip-missing", 0), 0u)
            << result.err;
        EXPECT_FALSE(fs::exists(work / "model.txt"));

        // ...placed by a part, it only ends the reading of that part.
        Write("lib/parts/holder.dat", kTriangle + Ref(name));
        Write("model.ldr", Ref("brick.dat") + Ref("holder.dat"));
        result = Convert("model.ldr");
        EXPECT_TRUE(Converted(result, "model.txt")) << name;
        EXPECT_NE(result.out.find("Error: cannot find file " + name + "\n"), std::string::npos);
    }
}

TEST_F(HostileInput, LineEndsAndAByteOrderMarkGiveTheSameScene)
{
    const std::string lines[] = {"0 a model with a comment 3 16 1 2 3", Ref("brick.dat", 4),
                                 "0 and another", Ref("brick.dat", 2)};
    auto joined = [&](const std::string& end)
    {
        std::string text;
        for (std::string line : lines)
        {
            if (!line.empty() && line.back() == '\n')
                line.pop_back();
            text += line + end;
        }
        return text;
    };
    Write("model.ldr", joined("\n"));
    ASSERT_TRUE(Converted(Convert("model.ldr", {"lf.txt"}), "lf.txt"));
    const std::string expected = ReadFile(work / "lf.txt");
    const std::pair<const char*, std::string> variants[] = {
        {"CR LF", joined("\r\n")},
        {"CR", joined("\r")},
        {"BOM", "\xEF\xBB\xBF" + joined("\n")},
        {"BOM CR LF", "\xEF\xBB\xBF" + joined("\r\n")},
    };
    for (const auto& variant : variants)
    {
        Write("model.ldr", variant.second);
        const Result result = Convert("model.ldr", {"out.txt"});
        EXPECT_TRUE(Converted(result, "out.txt")) << variant.first;
        EXPECT_EQ(result.err, "") << variant.first;
        EXPECT_TRUE(ReadFile(work / "out.txt") == expected) << variant.first;
    }
}

TEST_F(HostileInput, BadNumbersAndCutStatementsEndTheFileWithOneLine)
{
    const std::string rest = ": unreadable statement, rest of file ignored\n";
    // Each bad word as a coordinate, as a colour and as a line type.
    for (const std::string bad : {"abc", "0x10", "inf", "-inf", "nan", "1e999", "-1e999",
                                  "99999999999", "1,5", "--1", "1e"})
    {
        for (const std::string& statement :
             {"3 16 0 0 0 10 0 0 0 " + bad + " 0\n", "3 " + bad + " 0 0 0 10 0 0 0 10 0\n",
              bad + " 16 0 0 0 10 0 0 0 10 0\n"})
        {
            if (statement == "3 16 0 0 0 10 0 0 0 99999999999 0\n")
                continue;  // a fine coordinate
            Write("model.ldr", Ref("brick.dat") + statement + Ref("brick.dat", 4));
            const Result result = Convert("model.ldr");
            EXPECT_TRUE(Converted(result, "model.txt")) << statement;
            if (statement[0] != '3')
            {
                // Not a statement at all: only its line is ignored.
                EXPECT_EQ(result.err,
                          "Error: model.ldr line 2: not an LDraw statement, line "
                          "ignored\n")
                    << statement;
                EXPECT_NE(result.out.find("Instances: 4\n"), std::string::npos) << result.out;
                continue;
            }
            EXPECT_EQ(result.err, "Error: model.ldr line 2" + rest) << statement;
            // The reference after the bad statement is not read.
            EXPECT_NE(result.out.find("Instances: 2\n"), std::string::npos) << result.out;
        }
    }
    // Cut in the middle of a statement by the end of the file, in a part.
    Write("lib/parts/cut.dat", kTriangle + "4 16 0 0 0 10 0 0 10 10");
    Write("model.ldr", Ref("cut.dat"));
    const Result result = Convert("model.ldr");
    EXPECT_TRUE(Converted(result, "model.txt"));
    EXPECT_EQ(result.err, "Error: lib/parts/cut.dat line 2" + rest);
    // The first triangle and its box (flat: four of the six faces).
    EXPECT_NE(result.out.find("Polygons : 5\n"), std::string::npos) << result.out;
}

TEST_F(HostileInput, NamesOfAHundredKilobytes)
{
    const std::string longName(100 * 1024, 'n');
    // As the model: no file has such a name.
    Result result = Convert(longName + ".ldr");
    EXPECT_EQ(result.status, 255);
    EXPECT_TRUE(result.err.rfind("Error: reading file " + longName + ".ldr failed\n", 0) == 0);

    // As a reference: found nowhere.
    Write("model.ldr", Ref(longName + ".dat"));
    result = Convert("model.ldr");
    EXPECT_EQ(result.status, 255);
    EXPECT_TRUE(result.out ==
                "Reading file model.ldr\nError: cannot find file " + longName + ".dat\n");

    // As the output: written under a short temporary name, which cannot be
    // renamed to it; nothing is left behind.
    Write("model.ldr", Ref("brick.dat"));
    result = Convert("model.ldr", {longName + ".txt"});
    EXPECT_EQ(result.status, 255);
    EXPECT_TRUE(result.err == "Error: writing file " + longName +
                                  ".txt failed\nError: " + longName + ".txt: File name too long\n");
    EXPECT_EQ(work.List(), (std::vector<std::string>{"lib", "model.ldr"}));
}

TEST_F(HostileInput, CyclesOfReferencesAreCutWithOneLineEach)
{
    Write("lib/parts/a.dat", kTriangle + Ref("b.dat"));
    Write("lib/parts/b.dat", kTriangle + Ref("a.dat"));
    Write("model.ldr", Ref("a.dat") + Ref("model.ldr") + Ref("brick.dat"));
    const Result result = Convert("model.ldr");
    EXPECT_TRUE(Converted(result, "model.txt"));
    const std::string rest = ", which includes it; reference ignored\n";
    EXPECT_EQ(result.err, "Error: lib/parts/b.dat references a.dat" + rest +
                              "Error: model.ldr references model.ldr" + rest);
}

TEST_F(HostileInput, AQuadWithFourEqualCornersIsTwoDegenerateTriangles)
{
    Write("model.ldr", Ref("brick.dat") + "4 16 1 2 3 1 2 3 1 2 3 1 2 3\n" + kTriangle);
    const Result result = Convert("model.ldr");
    EXPECT_TRUE(Converted(result, "model.txt"));
    const std::string line =
        "Error: model.ldr has a degenerate triangle with vertices | 1 2 3 |,| 1 2 3 |,| 1 2 3 |\n";
    EXPECT_EQ(result.err, line + line);
}

TEST_F(HostileInput, CoordinatesThatOverflowNeverReachTheScene)
{
    // Corners of 1e300 are finite, but placing them by 1e300 overflows, and
    // the sides of a box around 1e301 multiply to infinity.
    Write("lib/p/far.dat", "3 16 1e300 0 0 0 1e300 0 0 0 1e300\n" + kTriangle);
    Write("lib/parts/huge.dat", "1 16 0 0 0 1e300 0 0 0 1e300 0 0 0 1e300 far.dat\n" + kTriangle);
    Write("lib/parts/wide.dat", "3 16 1e300 0 0 0 1e300 0 0 0 1e300\n");
    Write("model.ldr", Ref("huge.dat") + Ref("brick.dat") + Ref("wide.dat"));
    const Result result = Convert("model.ldr");
    EXPECT_TRUE(Converted(result, "model.txt"));
    EXPECT_EQ(result.err,
              "Error: huge.dat places 1 triangle beyond the range of numbers; dropped\n"
              "Error: huge.dat_bounding_box is beyond the range of numbers; faces left out\n"
              "Error: wide.dat_bounding_box is beyond the range of numbers; faces left out\n");
}

TEST_F(HostileInput, ModelsThatMultiplyBeyondTheLimitAreRefusedBeforeAnyWork)
{
    // Three files each placing the next a thousand times: 2 * 10^9 triangles
    // from 100 KB of text.
    std::string level1, level2, level3;
    for (int i = 0; i < 1000; ++i)
    {
        level1 += Ref("brick.dat");
        level2 += Ref("level1.dat");
        level3 += Ref("level2.dat");
    }
    Write("lib/parts/level1.dat", level1);
    Write("lib/parts/level2.dat", level2);
    Write("lib/parts/level3.dat", level3);
    Write("model.ldr", Ref("level3.dat"));
    WriteTextFile(work / "model.txt", "yesterday's scene\n");
    const Result result = Convert("model.ldr");
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, "Reading file model.ldr\n");
    EXPECT_EQ(result.err.rfind("Error: model.ldr would hold ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("; not converted\n"), std::string::npos) << result.err;
    EXPECT_EQ(ReadFile(work / "model.txt"), "yesterday's scene\n");
}

}  // namespace

namespace
{

std::vector<std::string> SortedLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The name of the open file through which process `pid` writes into
// `folder` (a temporary file, named or not), or "" when there is none yet.
std::string FileBeingWritten(pid_t pid, const std::string& folder)
{
    std::error_code error;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& entry : fs::directory_iterator(fds, error))
    {
        std::string target = fs::read_symlink(entry.path(), error).string();
        if (target.compare(0, folder.size() + 1, folder + "/") == 0 &&
            (target.find(".tmp") != std::string::npos ||
             target.find("(deleted)") != std::string::npos))
            return target;
    }
    return std::string();
}

TEST_F(HostileInput, InterruptionsWhileWritingRemoveTheTemporaryFileAndKeepTheOldOne)
{
    // Some 30 MB of scene: a few hundred milliseconds of writing.
    std::string model;
    for (int i = 0; i < 50000; ++i)
        model += "1 " + std::to_string(i % 16) + " " + std::to_string(i % 300 * 20) + " 0 " +
                 std::to_string(i / 300 * 20) + " 1 0 0 0 1 0 0 0 1 brick.dat\n";
    Write("model.ldr", model);
    const TempFolder logs;
    for (const bool named : {false, true})
        for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        {
            SCOPED_TRACE(std::string(named ? "named" : "unnamed") + " temporary file, signal " +
                         std::to_string(signalNumber));
            Write("w.txt", "the old scene\n");
            Invocation invocation;
            invocation.arguments = {"lib", "model.ldr", "w.txt"};
            invocation.folder = work.path;
            if (named)
                invocation.environment = {"PLINTHEX_NAMED_TEMPORARY=1"};
            const pid_t child =
                plinthex_process::StartPlinthex(invocation, logs / "out", logs / "err");
            ASSERT_GT(child, 0);
            std::string file;
            for (int wait = 0; wait < 20000 && file.empty(); ++wait)
            {
                file = FileBeingWritten(child, work.path);
                if (file.empty())
                    usleep(500);
            }
            EXPECT_FALSE(file.empty()) << "no write seen";
            EXPECT_EQ(file.find("(deleted)") != std::string::npos, !named) << file;
            kill(child, signalNumber);
            EXPECT_EQ(plinthex_process::WaitForPlinthex(child), 128 + signalNumber);
            EXPECT_EQ(ReadFile(work / "w.txt"), "the old scene\n");
            EXPECT_EQ(work.List(), (std::vector<std::string>{"lib", "model.ldr", "w.txt"}));
        }
}

TEST_F(HostileInput, ADanglingLinkGetsItsTargetAndStaysALink)
{
    Write("model.ldr", Ref("brick.dat"));
    fs::create_directories(work / "scenes");
    // out.txt -> chain.txt -> scenes/nowhere.txt, the last one relative to
    // the folder of the link that names it.
    fs::create_symlink("scenes/chain.txt", work / "out.txt");
    fs::create_symlink("nowhere.txt", work / "scenes/chain.txt");
    const Result result = Convert("model.ldr", {"out.txt"});
    EXPECT_TRUE(Converted(result, "out.txt"));
    EXPECT_TRUE(fs::is_symlink(work / "out.txt"));
    EXPECT_TRUE(fs::is_symlink(work / "scenes/chain.txt"));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(work / "scenes/nowhere.txt")));

    // A loop of links is refused with its reason.
    fs::create_symlink("loop.txt", work / "loop.txt");
    const Result loop = Convert("model.ldr", {"loop.txt"});
    EXPECT_EQ(loop.status, 255);
    EXPECT_EQ(loop.err,
              "Error: Cannot open file loop.txt for writing\n"
              "Error: loop.txt: Too many levels of symbolic links\n");
}

TEST_F(HostileInput, TheSceneOnStandardOutputIsAllThatGoesThere)
{
    // A part naming a file found nowhere: a message that goes to standard
    // output when the scene does not.
    Write("lib/parts/broken.dat", kTriangle + Ref("nosuch.dat"));
    Write("model.ldr", Ref("brick.dat") + Ref("broken.dat"));
    const Result file = Convert("model.ldr", {"scene.txt"});
    ASSERT_TRUE(Converted(file, "scene.txt"));
    const std::string scene = ReadFile(work / "scene.txt");
    // "-", and a path that is the standard output the program was given.
    for (const std::string output : {"-", "/dev/stdout", "/proc/self/fd/1"})
    {
        SCOPED_TRACE(output);
        const Result result = Convert("model.ldr", {output});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, scene);
        // Every message of the run into a file, on standard error instead.
        std::string messages = file.out + file.err;
        messages.replace(messages.find("Writing file scene.txt"), 22, "Writing file " + output);
        EXPECT_EQ(SortedLines(result.err), SortedLines(messages));
    }
}

}  // namespace

// --skip-missing leaves a reference found nowhere out and converts the rest;
// without it the run fails and names the option. Lines that are no statement
// are ignored with one line each.
TEST_F(HostileInput, MissingFilesAreLeftOutWhenAskedAndOtherLinesIgnored)
{
    Write("m.ldr", Ref("nowhere.dat", 4) + "hello there\n" + Ref("brick.dat", 4));
    Result result = Convert("m.ldr");
    EXPECT_EQ(result.status, 255);
    EXPECT_NE(result.out.find("Error: cannot find file nowhere.dat"), std::string::npos);
    EXPECT_NE(result.err.find("--skip-missing"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(work / "m.txt"));

    result = Convert("m.ldr", {"--skip-missing"});
    EXPECT_TRUE(Converted(result, "m.txt"));
    EXPECT_NE(result.out.find("Error: cannot find file nowhere.dat"), std::string::npos);
    EXPECT_NE(result.err.find("Error: m.ldr line 2: not an LDraw statement, line ignored"),
              std::string::npos)
        << result.err;
    EXPECT_NE(ReadFile(work / "m.txt").find("brick.dat"), std::string::npos);

    // A bound below what the model holds refuses it before anything is written.
    result = Convert("m.ldr", {"--skip-missing", "--max-triangles=1"});
    EXPECT_EQ(result.status, 255) << result.err;
    EXPECT_FALSE(fs::exists(work / "m.txt.tmp"));
}

// A file larger than any LDraw file is refused with its size, before memory
// is taken for it (the file is sparse: it costs no disk).
TEST_F(HostileInput, AModelOfMoreThanAGibibyteIsRefusedWithItsSize)
{
    {
        const std::ofstream big(work / "big.ldr", std::ios::binary);
    }
    fs::resize_file(work / "big.ldr", 1500ull << 20);
    const Result result = Convert("big.ldr");
    EXPECT_EQ(result.status, 255);
    EXPECT_NE(result.err.find("big.ldr is 1572864000 bytes"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(work / "big.txt"));
}

// A model that is a FIFO whose writer comes later is waited for and read
// whole, as from `plinthex lib <(generate)`.
TEST_F(HostileInput, AModelFromAFifoIsReadWholeOnceItsWriterComes)
{
    const std::string fifo = work / "model.ldr";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    Invocation invocation;
    invocation.arguments = {"lib", "model.ldr", "out.txt"};
    invocation.folder = work.path;
    const pid_t child =
        plinthex_process::StartPlinthex(invocation, work / "stdout.txt", work / "stderr.txt");
    ASSERT_GT(child, 0);
    usleep(200000);  // the program is waiting at the open
    {
        std::ofstream writer(fifo, std::ios::binary);
        for (int i = 0; i < 2000; ++i)
            writer << Ref("brick.dat", 1 + i % 15);
    }
    EXPECT_EQ(plinthex_process::WaitForPlinthex(child), 0) << ReadFile(work / "stderr.txt");
    const SceneCheck check = CheckScene(ReadFile(work / "out.txt"));
    ASSERT_TRUE(check.ok) << check.error;
    EXPECT_EQ(check.placedPolygons, 2000u * 3u);
}
