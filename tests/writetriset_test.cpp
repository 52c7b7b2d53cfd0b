#include "output/writetriset.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <initializer_list>
#include <iostream>
#include <memory>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "model/parallel.h"
#include "output/scenefile.h"
#include "tests/part_builder.h"
#include "tests/temp_folder.h"
#include "tests/worked_example.h"

namespace
{

using treebuild::AddNode;
using treebuild::Place;

// A triangle whose corners all have the normal `normal`.
void AddTriangle(LegoPart& part, unsigned node, const Vector3& a, const Vector3& b,
                 const Vector3& c, int color, const Vector3& normal = Vector3(0, 0, 1))
{
    treebuild::SetNormal(part, node, treebuild::AddTriangle(part, node, a, b, c, color), normal);
}

void AddSomeTriangle(LegoPart& part, unsigned node, int color)
{
    AddTriangle(part, node, Vector3(0, 0, 0), Vector3(1, 0, 0), Vector3(0, 1, 0), color);
}

// Lines given as (number of leading tabs, text), each ended by a line feed.
std::string Lines(std::initializer_list<std::pair<int, const char*>> lines)
{
    std::string text;
    for (const auto& line : lines)
        text += std::string(static_cast<std::size_t>(line.first), '\t') + line.second + "\n";
    return text;
}

struct Written
{
    bool ok = false;
    std::string text;    // the file
    std::string stats;   // DumpStats
    std::string errors;  // standard error during Write
};

Written WriteTo(WriteTriset& writer, const std::string& path, const LegoPart& part,
                bool showBoundingBoxes = true)
{
    Written result;
    const std::ostringstream errors;
    std::streambuf* saved = std::cerr.rdbuf(errors.rdbuf());
    result.ok = writer.Write(path.c_str(), part, part.Colours(), showBoundingBoxes);
    std::cerr.rdbuf(saved);
    result.errors = errors.str();
    std::ostringstream stats;
    writer.DumpStats(stats);
    result.stats = stats.str();
    if (result.ok)
        result.text = ReadFile(path);
    return result;
}

Written WriteScene(const LegoPart& part, bool showBoundingBoxes = true)
{
    const TempFolder folder;
    WriteTriset writer;
    return WriteTo(writer, folder / "scene.txt", part, showBoundingBoxes);
}

std::string Stats(unsigned polygons, unsigned vertices, unsigned meshes, unsigned instances,
                  unsigned levels)
{
    std::ostringstream text;
    text << "Polygons : " << polygons << "\nVertices : " << vertices << "\nMeshes   : " << meshes
         << "\nInstances: " << instances << "\nLevels   : " << levels << "\n";
    return text.str();
}

// The attribute lines of the first LEVEL named `name`: what stands between
// its Name line and its END ATTRIB, tabs removed.
std::string AttributesOf(const std::string& text, const std::string& name)
{
    const std::string nameLine = "Name = " + name + "\n";
    const std::size_t start = text.find(nameLine);
    if (start == std::string::npos)
        return "<no LEVEL " + name + ">";
    const std::size_t from = start + nameLine.size();
    const std::size_t end = text.find("END ATTRIB\n", from);
    std::string attributes;
    for (std::size_t i = from; i < end; ++i)
        if (text[i] != '\t')
            attributes += text[i];
    return attributes;
}

std::size_t CountOf(const std::string& text, const std::string& piece)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// The two-node tree: model.ldr places tri.dat once in colour 4.
LegoPart WorkedExampleTree()
{
    LegoPart part;
    const unsigned model = AddNode(part, "model.ldr", NodeKind::Model);
    const unsigned tri = AddNode(part, "tri.dat");
    Place(part, model, tri, 4);
    AddTriangle(part, tri, Vector3(0, 0, 0), Vector3(1, 0, 0), Vector3(0, 1, 0), 16);
    return part;
}

TEST(WriteTrisetFile, WorkedExampleByteForByte)
{
    const Written written = WriteScene(WorkedExampleTree());
    EXPECT_TRUE(written.ok);
    EXPECT_EQ(written.errors, "");
    std::string expected;
    for (const auto& [tabs, text] : WorkedExampleLines())
        expected += std::string(tabs, '\t') + text + "\n";
    EXPECT_EQ(written.text, expected);
    EXPECT_EQ(CountOf(written.text, "\n"), 48u);
    EXPECT_EQ(written.stats, Stats(1, 3, 1, 1, 2));
}

TEST(WriteTrisetFile, EmptyTreeAndRootOnly)
{
    const Written empty = WriteScene(LegoPart());
    EXPECT_TRUE(empty.ok);
    EXPECT_EQ(empty.text, "TRISETIO 1.0\n\n");
    EXPECT_EQ(empty.stats, Stats(0, 0, 0, 0, 0));

    LegoPart rootOnly;
    AddNode(rootOnly, "house.ldr", NodeKind::Model);
    const Written root = WriteScene(rootOnly);
    EXPECT_EQ(root.text, Lines({{0, "TRISETIO 1.0"},
                                {0, ""},
                                {0, "Class = LEVEL {"},
                                {1, "Name = house.ldr"},
                                {1, "Invisible"},
                                {1, "END ATTRIB"},
                                {1, "} \\\\ end LEVEL house.ldr"},
                                {0, "Class = LEVEL {"},
                                {1, "Name = Parts"},
                                {1, "Invisible"},
                                {1, "END ATTRIB"},
                                {1, "} \\\\ end LEVEL Parts"}}));
    EXPECT_EQ(root.stats, Stats(0, 0, 0, 0, 1));
}

TEST(WriteTrisetFile, PolygonZeroDecidesTheLevelColour)
{
    LegoPart part;
    AddNode(part, "root", NodeKind::Model);
    const unsigned inherited = AddNode(part, "inherited");
    AddSomeTriangle(part, inherited, 16);
    AddTriangle(part, inherited, Vector3(5, 0, 0), Vector3(6, 0, 0), Vector3(5, 1, 0), 4);
    const unsigned edge = AddNode(part, "edge");
    AddSomeTriangle(part, edge, 24);
    const unsigned black = AddNode(part, "black");
    AddSomeTriangle(part, black, 0);
    const unsigned transRed = AddNode(part, "transred");
    AddSomeTriangle(part, transRed, 36);
    const unsigned extra = AddNode(part, "extra");
    AddSomeTriangle(part, extra, 57);
    AddNode(part, "empty");

    const Written written = WriteScene(part);
    EXPECT_EQ(AttributesOf(written.text, "inherited"), "");
    EXPECT_EQ(AttributesOf(written.text, "edge"), "");
    EXPECT_EQ(AttributesOf(written.text, "black"), "Color = 0 0 0 1\n");
    EXPECT_EQ(AttributesOf(written.text, "transred"),
              "Color = 0.796875 0 0 1\nTransparency = 0.5 0.5 0.5 0.5\n");
    EXPECT_EQ(AttributesOf(written.text, "extra"),
              "Color = 1 0.3984375 0 1\nTransparency = 0.5 0.5 0.5 0.5\n");
    // A node without polygons has neither colour nor TRISET.
    EXPECT_EQ(AttributesOf(written.text, "empty"), "");
    EXPECT_EQ(CountOf(written.text, "Name = empty triset"), 0u);
    EXPECT_EQ(written.stats, Stats(6, 18, 5, 0, 7));
}

TEST(WriteTrisetFile, WrappersCarryEachPlacementsColourOnlyAtTheTop)
{
    LegoPart part;
    const unsigned root = AddNode(part, "root", NodeKind::Model);
    const unsigned brick = AddNode(part, "brick.dat");
    const unsigned stud = AddNode(part, "stud.dat", NodeKind::Primitive);
    AddSomeTriangle(part, stud, 16);
    Place(part, root, brick, 36);
    Place(part, root, brick, 24);
    Place(part, brick, stud, 4);

    const Written written = WriteScene(part);
    EXPECT_EQ(CountOf(written.text, "Name = brick.dat_wrapper\n"), 2u);
    EXPECT_EQ(AttributesOf(written.text, "brick.dat_wrapper"),
              "Color = 0.796875 0 0 1\nTransparency = 0.5 0.5 0.5 0.5\n");
    const std::size_t second =
        written.text.find("Name = brick.dat_wrapper", written.text.find("_wrapper") + 1);
    EXPECT_EQ(AttributesOf(written.text.substr(second), "brick.dat_wrapper"), "");
    // Inside Parts the brick places the stud with a bare INSTANCE.
    EXPECT_EQ(CountOf(written.text, "stud.dat_wrapper"), 0u);
    EXPECT_NE(written.text.find(Lines({{2, "Name = brick.dat"},
                                       {2, "END ATTRIB"},
                                       {2, "Class = INSTANCE {"},
                                       {3, "Name = instance of level stud.dat"}})),
              std::string::npos);
    EXPECT_EQ(written.stats, Stats(1, 3, 1, 3, 3));
}

TEST(WriteTrisetFile, DeletedNodesAndBoundingBoxesLevel)
{
    LegoPart part;
    const unsigned root = AddNode(part, "root", NodeKind::Model);
    const unsigned brick = AddNode(part, "brick.dat");
    AddNode(part, "<Deleted by FlattenNode>", NodeKind::Deleted);
    const unsigned box = AddNode(part, "brick.dat box");
    const unsigned boxes = AddNode(part, "BOUNDING boxes", NodeKind::Model);
    AddSomeTriangle(part, brick, 4);
    AddSomeTriangle(part, box, 4);
    Place(part, root, brick, 1);
    Place(part, boxes, box, 1);

    for (const bool show : {true, false})
    {
        const Written written = WriteScene(part, show);
        EXPECT_EQ(CountOf(written.text, "Deleted"), 0u);
        const std::string partsEnd = "\t} \\\\ end LEVEL Parts\n";
        const std::size_t boxesAt = written.text.find(partsEnd);
        ASSERT_NE(boxesAt, std::string::npos);
        // Written once, after Parts, at depth 0, wrapping its children.
        EXPECT_EQ(written.text.substr(boxesAt + partsEnd.size(), 39),
                  "Class = LEVEL {\n\tName = BOUNDING boxes\n");
        EXPECT_EQ(CountOf(written.text, "Name = BOUNDING boxes\n"), 1u);
        EXPECT_EQ(CountOf(written.text, "Name = brick.dat box_wrapper\n"), 1u);
        EXPECT_EQ(AttributesOf(written.text, "root"), show ? "Invisible\n" : "");
        EXPECT_EQ(AttributesOf(written.text, "BOUNDING boxes"), show ? "" : "Invisible\n");
        EXPECT_EQ(written.stats, Stats(2, 6, 2, 2, 4));
    }
}

TEST(WriteTrisetFile, OnlyTheModelsOwnBoundingBoxesNodeStandsApart)
{
    // A library file named like the Bounding Boxes node is an ordinary part.
    LegoPart part;
    const unsigned root = AddNode(part, "root", NodeKind::Model);
    const unsigned namesake = AddNode(part, "bounding boxes", NodeKind::Part);
    AddSomeTriangle(part, namesake, 4);
    Place(part, root, namesake, 1);
    const Written written = WriteScene(part);
    EXPECT_EQ(CountOf(written.text, "Name = bounding boxes\n"), 1u);
    EXPECT_LT(written.text.find("Name = bounding boxes\n"), written.text.find("end LEVEL Parts\n"));
}

TEST(WriteTrisetFile, APolygonWithoutAFaceRecordGetsTheDefaultNormal)
{
    LegoPart part;
    const unsigned root = AddNode(part, "root", NodeKind::Model);
    const unsigned wedge = AddNode(part, "wedge");
    AddTriangle(part, wedge, Vector3(0, 0, 0), Vector3(1, 0, 0), Vector3(0, 1, 0), 4,
                Vector3(1, 0, 0));
    const Vector3 corners[3] = {Vector3(0, 0, 0), Vector3(0, 1, 0), Vector3(0, 0, 1)};
    part.Node(static_cast<unsigned>(wedge)).mesh.AddPolygon(3, corners);
    Place(part, root, wedge, 16);
    const std::string text = WriteScene(part).text;
    EXPECT_EQ(CountOf(text, "{ 1 0 0 }\n"), 3u);
    EXPECT_EQ(CountOf(text, "{ 0 0 1 }\n"), 3u);
}

TEST(WriteTrisetFile, TheWriterInterfaceWritesTheSameScene)
{
    const LegoPart part = WorkedExampleTree();
    const TempFolder folder;
    const std::unique_ptr<ModelWriter> writer = MakeModelWriter(OutputFormat::Triset);
    ASSERT_NE(writer, nullptr);
    ASSERT_EQ(writer->Form(), ModelForm::CleanedTree);
    ModelToWrite model;
    model.tree = &part;
    ASSERT_TRUE(writer->WriteModel(folder / "scene.txt", model, part.Colours()));
    std::ostringstream stats;
    writer->DumpStats(stats);
    EXPECT_EQ(stats.str(), Stats(1, 3, 1, 1, 2));
    EXPECT_EQ(ReadFile(folder / "scene.txt"), WriteScene(part).text);
}

TEST(WriteTrisetFile, NumbersVerticesFacesAndMatrices)
{
    LegoPart part;
    const unsigned root = AddNode(part, "root", NodeKind::Model);
    const unsigned wedge = AddNode(part, "wedge");
    AddTriangle(part, wedge, Vector3(1, 2.5, -0.25), Vector3(0.1, -0.0, 1e-7),
                Vector3(123456789012.5, 3, 1e25), 16, Vector3(-0.0, 0.6, -0.8));
    Matrix4x4 placement;
    const double rows[16] = {0, 0, 1, 10, 0, 1, 0, -20.5, -1, 0, 0, 30, 0, 0, 0, 1};
    for (int i = 0; i < 16; ++i)
        placement.m[i] = rows[i];
    Place(part, root, wedge, 16, placement);

    const Written written = WriteScene(part);
    EXPECT_NE(written.text.find("\t\t\tMatrix = 0 0 1 10 0 1 0 -20.5 -1 0 0 30 0 0 0 1\n"),
              std::string::npos)
        << written.text;
    EXPECT_NE(
        written.text.find(Lines({{4, "{ 1 2.5 -0.25}"},
                                 {4, "{ 0.10000000000000000555 -0 9.9999999999999995475e-08}"},
                                 {4, "{ 123456789012.5 3 1.0000000000000000906e+25}"},
                                 {4, "}"},
                                 {3, "Faces = {"},
                                 {4, "{ 0 1 2 }"}})),
        std::string::npos)
        << written.text;
    EXPECT_NE(
        written.text.find(Lines({{5, "{ -0 0.5999999999999999778 -0.80000000000000004441 }"}})),
        std::string::npos)
        << written.text;
    // An instance's own colour 16 gives its wrapper no colour.
    EXPECT_EQ(AttributesOf(written.text, "wedge_wrapper"), "");
}

TEST(WriteTrisetFile, ReferencesToNoNodeAreLeftOut)
{
    LegoPart part = WorkedExampleTree();
    Place(part, 0, -1, 4);
    Place(part, 0, 99, 4);
    Place(part, 1, -1, 4);
    const Written written = WriteScene(part);
    EXPECT_TRUE(written.ok);
    EXPECT_EQ(written.stats, Stats(1, 3, 1, 1, 2));
    EXPECT_EQ(CountOf(written.text, "Class = INSTANCE"), 1u);
}

TEST(WriteTrisetFile, FailuresReportLeaveZeroCountersAndKeepTheOldFile)
{
    const TempFolder folder;
    WriteTriset writer;
    const LegoPart part = WorkedExampleTree();
    const std::string good = folder / "good.txt";
    ASSERT_TRUE(WriteTo(writer, good, part).ok);

    const std::string missingFolder = folder / "no/such/folder/scene.txt";
    Written failed = WriteTo(writer, missingFolder, part);
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.errors, "Error: Cannot open file " + missingFolder + " for writing\nError: " +
                                 missingFolder + ": No such file or directory\n");
    EXPECT_EQ(failed.stats, Stats(0, 0, 0, 0, 0));

    // A folder where the file should go is not replaced.
    failed = WriteTo(writer, folder.path, part);
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.errors, "Error: Cannot open file " + folder.path +
                                 " for writing\nError: " + folder.path + ": Is a directory\n");

    // A device that accepts no data: opened, but the writes fail.
    if (access("/dev/full", W_OK) == 0)
    {
        failed = WriteTo(writer, "/dev/full", part);
        EXPECT_FALSE(failed.ok);
        EXPECT_EQ(failed.errors,
                  "Error: writing file /dev/full failed\n"
                  "Error: /dev/full: No space left on device\n");
        EXPECT_EQ(failed.stats, Stats(1, 3, 1, 1, 2));
    }
    EXPECT_EQ(folder.List(), std::vector<std::string>{"good.txt"});
}

TEST(WriteTrisetFile, AFailedWriteLeavesTheExistingFileIntact)
{
    const TempFolder folder;
    const std::string target = folder / "scene.txt";
    WriteTextFile(target, "the old scene\n");
    LegoPart part = WorkedExampleTree();
    for (int i = 0; i < 200; ++i)
        AddTriangle(part, 1, Vector3(i, 0, 0), Vector3(i, 1, 0), Vector3(i, 0, 1), 16);

    // The child may write only a few kilobytes to any file.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        const std::ostringstream errors;
        std::cerr.rdbuf(errors.rdbuf());
        WriteTriset writer;
        const bool ok = writer.Write(target.c_str(), part, part.Colours(), true);
        const bool reported = errors.str() == "Error: writing file " + target +
                                                  " failed\nError: " + target +
                                                  ": File too large\n";
        _exit(!ok && reported ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadFile(target), "the old scene\n");
    EXPECT_EQ(folder.List(), std::vector<std::string>{"scene.txt"});
}

// Text of many buffers written directly goes out through a second thread
// with more than one job (here from the start): the same bytes in the same
// order, and a failure of that thread's writes is still the file's failure.
TEST(SceneFileWriting, LongTextIsTheSameWithEveryJobCountAndFailuresStayFailures)
{
    const TempFolder folder;
    ASSERT_EQ(setenv("PLINTHEX_DIRECT_WRITES", "always", 1), 0);
    std::string text;
    for (int i = 0; text.size() < (std::size_t(7) << 20); ++i)
        text += "line " + std::to_string(i) + "\n";
    for (const unsigned jobs : {1u, 2u})
    {
        Parallel::SetJobs(jobs);
        const std::string target = folder / ("jobs" + std::to_string(jobs) + ".txt");
        SceneFile file;
        file.SetWriterAfter(0);
        ASSERT_TRUE(file.Open(target));
        for (std::size_t at = 0; at < text.size(); at += 1000)
            file.Write(std::string_view(text).substr(at, 1000));
        ASSERT_TRUE(file.Close());
        EXPECT_TRUE(ReadFile(target) == text) << jobs << " jobs";

        if (access("/dev/full", W_OK) == 0)
        {
            ASSERT_TRUE(file.Open("/dev/full"));
            file.Write(text);
            file.Write(text);
            EXPECT_FALSE(file.Close());
            EXPECT_EQ(file.ErrorNumber(), ENOSPC);
        }
    }
    unsetenv("PLINTHEX_DIRECT_WRITES");
    Parallel::SetJobs(0);
}

// Long vertex, face and normal lists are cut into pieces made on every job,
// the short lists of many small meshes made together, and so are the
// placements, with their wrappers' colours: the text is that of the one-job
// writer, item for item, and the file ends the same way whatever the last
// piece holds.
TEST(WriteTrisetFile, ListsAreTheSameWithEveryJobCount)
{
    LegoPart part;
    const unsigned root = treebuild::AddNode(part, "model.ldr", NodeKind::Model);
    const unsigned brick = treebuild::AddNode(part, "brick.dat");
    treebuild::Place(part, root, brick, 4);
    for (unsigned i = 0; i < 300; ++i)
    {
        const unsigned small = treebuild::AddNode(part, "small" + std::to_string(i) + ".dat");
        for (unsigned f = 0; f <= i % 7; ++f)
            treebuild::AddTriangle(part, small, Vector3(i, f, 0.1), Vector3(i + 0.3, f, 0.0),
                                   Vector3(i, f + 1.0 / 7.0, 1.0), static_cast<int>(1 + i % 5));
        // Inherited, opaque and transparent placements, and one of no node.
        for (unsigned k = 0; k < 50; ++k)
            treebuild::Place(part, root, small,
                             k % 3 == 0   ? 16
                             : k % 3 == 1 ? 4
                                          : 36,
                             treebuild::Translation(k / 3.0, i / 7.0, 1.0 / (k + 1.0)));
        treebuild::Place(part, root, i == 150 ? 100000 : brick, 16);
    }
    for (unsigned i = 0; i < 30011; ++i)
    {
        const double x = i * 0.37, y = (i % 97) * 1.25;
        const unsigned face =
            treebuild::AddTriangle(part, brick, Vector3(x, y, 0.0), Vector3(x + 1.0, y, 0.5),
                                   Vector3(x, y + 1.0 / 3.0, 1.0), 4);
        treebuild::SetNormal(part, brick, face, Vector3(0.0, i % 2 ? 1.0 : -0.6, 0.8));
    }
    Parallel::SetJobs(1);
    const Written one = WriteScene(part);
    Parallel::SetJobs(3);
    const Written three = WriteScene(part);
    Parallel::SetJobs(0);
    ASSERT_TRUE(one.ok && three.ok);
    EXPECT_EQ(CountOf(one.text, "\n"), CountOf(three.text, "\n"));
    EXPECT_TRUE(one.text == three.text);
    EXPECT_EQ(one.stats, three.stats);
}

// Direct writes go out in whole blocks, the text between them carried over,
// and the last bytes through the cache; long texts go out from where they
// lie: the same file for any way of writing, buffer boundary and job count,
// the writing thread taking over from the start or part way.
TEST(SceneFileWriting, DirectWritesGiveTheSameBytes)
{
    const TempFolder folder;
    std::string text;
    for (int i = 0; text.size() < (std::size_t(5) << 20) + 123; ++i)
        text += "vertex " + std::to_string(i * 7) + "\n";
    for (const char* way : {"always", "never", ""})
        for (const std::size_t writerAfter :
             {std::size_t(1) << 40, std::size_t(2) << 20, std::size_t(0)})
        {
            const unsigned jobs = writerAfter == std::size_t(1) << 40 ? 1u : 2u;
            ASSERT_EQ(setenv("PLINTHEX_DIRECT_WRITES", way, 1), 0);
            Parallel::SetJobs(jobs);
            const std::string target = folder / (std::string(way) + std::to_string(writerAfter));
            SceneFile file;
            file.SetWriterAfter(writerAfter);
            ASSERT_TRUE(file.Open(target));
            // Pieces by Write, which fills every buffer, and by BeginText,
            // which hands a buffer over before it is full.
            for (std::size_t at = 0, piece = 0, length = 997; at < text.size();
                 at += length, ++piece, length = piece % 40 == 39 ? 70001 : 997)
            {
                const std::string_view part = std::string_view(text).substr(at, length);
                if (piece % 2 == 0 || part.size() > 2000)
                {
                    file.Write(part);
                    continue;
                }
                char* room = file.BeginText(2000);
                std::memcpy(room, part.data(), part.size());
                file.EndText(room + part.size());
            }
            ASSERT_TRUE(file.Close());
            EXPECT_TRUE(ReadFile(target) == text) << way << ", " << writerAfter;
        }
    unsetenv("PLINTHEX_DIRECT_WRITES");
    Parallel::SetJobs(0);
}

// The writing thread takes over a file written directly once it is past
// its threshold, however many windows of measured writes that took; through
// the cache it never does.
TEST(SceneFileWriting, TheWritingThreadTakesOverDirectWritesPastTheThreshold)
{
    const TempFolder folder;
    const int probe = open((folder / "probe").c_str(), O_WRONLY | O_CREAT | O_DIRECT, 0600);
    if (probe < 0)
        GTEST_SKIP() << "the test folder's file system takes no direct writes";
    close(probe);
    const std::string piece(4000, 'x');
    Parallel::SetJobs(2);
    for (const char* way : {"always", "never"})
    {
        ASSERT_EQ(setenv("PLINTHEX_DIRECT_WRITES", way, 1), 0);
        SceneFile file;
        file.SetWriterAfter(std::size_t(40) << 20);
        ASSERT_TRUE(file.Open(folder / way));
        for (int i = 0; i < 18000; ++i)  // 72 MB: two windows and more
            file.Write(piece);
        EXPECT_EQ(file.HasWritingThread(), std::string(way) == "always") << way;
        ASSERT_TRUE(file.Close());
    }
    unsetenv("PLINTHEX_DIRECT_WRITES");
    Parallel::SetJobs(0);
}

TEST(WriteTrisetFile, ReplacingAFileKeepsItsModeAndItsLink)
{
    const TempFolder folder;
    const LegoPart part = WorkedExampleTree();
    const std::string expected = WriteScene(part).text;
    WriteTriset writer;

    const std::string target = folder / "scene.txt";
    WriteTextFile(target, "old");
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    ASSERT_TRUE(WriteTo(writer, target, part).ok);
    struct stat status;
    ASSERT_EQ(stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadFile(target), expected);

    const std::string link = folder / "link.txt";
    ASSERT_EQ(symlink("scene.txt", link.c_str()), 0);
    WriteTextFile(target, "old");
    ASSERT_TRUE(WriteTo(writer, link, part).ok);
    ASSERT_EQ(lstat(link.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(ReadFile(target), expected);
    EXPECT_EQ(folder.List(), (std::vector<std::string>{"link.txt", "scene.txt"}));

    // Another name of the old file keeps the old text.
    const std::string other = folder / "other.txt";
    WriteTextFile(target, "old");
    ASSERT_EQ(::link(target.c_str(), other.c_str()), 0);
    ASSERT_TRUE(WriteTo(writer, target, part).ok);
    EXPECT_EQ(ReadFile(target), expected);
    EXPECT_EQ(ReadFile(other), "old");
    EXPECT_EQ(folder.List(), (std::vector<std::string>{"link.txt", "other.txt", "scene.txt"}));

    // A new file gets the usual mode of new files.
    const mode_t mask = umask(022);
    const std::string fresh = folder / "fresh.txt";
    ASSERT_TRUE(WriteTo(writer, fresh, part).ok);
    umask(mask);
    ASSERT_EQ(stat(fresh.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
}

TEST(WriteTrisetFile, StreamsNamedByPathAreWrittenNotReplaced)
{
    const LegoPart part = WorkedExampleTree();
    const std::string expected = WriteScene(part).text;
    WriteTriset writer;
    EXPECT_TRUE(WriteTo(writer, "/dev/null", part).ok);

    // Standard output redirected to a file: the scene goes into that open
    // file, which is neither replaced nor given a temporary sibling.
    const TempFolder folder;
    const std::string redirected = folder / "redirected.txt";
    WriteTextFile(redirected, "");
    struct stat before;
    ASSERT_EQ(stat(redirected.c_str(), &before), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        const int file = open(redirected.c_str(), O_WRONLY | O_TRUNC);
        if (file < 0 || dup2(file, 1) < 0)
            _exit(2);
        WriteTriset childWriter;
        _exit(childWriter.Write("/dev/stdout", part, part.Colours(), true) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadFile(redirected), expected);
    EXPECT_EQ(folder.List(), std::vector<std::string>{"redirected.txt"});
    struct stat after;
    ASSERT_EQ(stat(redirected.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

TEST(WriteTrisetFile, FilesInTheMemoryFolderUnderDevAreOrdinaryFiles)
{
    std::error_code error;
    if (!std::filesystem::is_directory("/dev/shm", error))
        GTEST_SKIP() << "no /dev/shm on this machine";
    char pattern[] = "/dev/shm/plinthex-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string folder = pattern;
    // Removed however the test ends.
    const std::unique_ptr<const char, void (*)(const char*)> removal(
        pattern,
        [](const char* path)
        {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        });
    const LegoPart part = WorkedExampleTree();
    const std::string expected = WriteScene(part).text;
    WriteTriset writer;

    // A new file is created, an existing one replaced whole.
    const std::string target = folder + "/scene.txt";
    EXPECT_TRUE(WriteTo(writer, target, part).ok);
    EXPECT_EQ(ReadFile(target), expected);
    WriteTextFile(target, "an old scene that is longer than nothing");
    struct stat before;
    ASSERT_EQ(stat(target.c_str(), &before), 0);
    EXPECT_TRUE(WriteTo(writer, target, part).ok);
    EXPECT_EQ(ReadFile(target), expected);
    struct stat after;
    ASSERT_EQ(stat(target.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
}

}  // namespace
