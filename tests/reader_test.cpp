#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>

#include "model/parallel.h"
#include "reader/folderlisting.h"
#include "reader/ldrawreader.h"
#include "reader/libraryindex.h"
#include "reader/quadorder.h"
#include "tests/reader_files.h"
#include "tests/temp_folder.h"

namespace
{

namespace fs = std::filesystem;
using namespace reader_files;

TEST_F(LDrawReaderFiles, PlacesALibraryPartUnderTheModel)
{
    Write("lib/parts/3001.dat", kTriangle);
    Write("model.ldr", "1 4 10 20 30 1 2 3 4 5 6 7 8 9 3001.dat\n");
    ASSERT_TRUE(ReadModel());
    ASSERT_EQ(part.GetNodeCount(), 2u);
    EXPECT_EQ(Node(0).name, "model.ldr");
    EXPECT_EQ(Node(0).kind, NodeKind::Model);
    EXPECT_EQ(Node(0).tag, 1);
    ASSERT_EQ(Node(0).children.size(), 1u);
    const _LegoInstance& child = Node(0).children[0];
    EXPECT_EQ(child.color, 4);
    EXPECT_EQ(child.node, 1);
    const double expected[16] = {1, 2, 3, 10, 4, 5, 6, 20, 7, 8, 9, 30, 0, 0, 0, 1};
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(child.transform.m[i], expected[i]) << i;
    EXPECT_EQ(Node(1).name, "3001.dat");
    EXPECT_EQ(Node(1).kind, NodeKind::Part);
    EXPECT_EQ(Node(1).tag, 3);
    ASSERT_EQ(Node(1).mesh.GetPolygonCount(), 1u);
    EXPECT_EQ(Node(1).mesh.FaceColor(0u), 16);
    EXPECT_TRUE(out.empty() && err.empty()) << out << err;
}

TEST_F(LDrawReaderFiles, ReadsEachNameOnceInAnyCase)
{
    Write("lib/parts/3001.dat", kTriangle);
    Write("model.ldr", Ref("3001.dat") + Ref("3001.DAT") + Ref("s\\3001.dat") + Ref("3001.dat"));
    ASSERT_TRUE(ReadModel());
    ASSERT_EQ(part.GetNodeCount(), 2u);
    ASSERT_EQ(Node(0).children.size(), 4u);
    for (const _LegoInstance& child : Node(0).children)
        EXPECT_EQ(child.node, 1);
}

TEST_F(LDrawReaderFiles, LooksUpPrimitivesThenPartsThenSubparts)
{
    Write("lib/p/a.dat", kTriangle);
    Write("lib/parts/a.dat", "");
    Write("lib/parts/s/b.dat", "");
    Write("lib/p/4-4edge.dat", "");
    Write("model.ldr", Ref("a.dat") + Ref("s\\b.dat") + Ref("48\\4-4edge.dat"));
    ASSERT_TRUE(ReadModel());
    ASSERT_EQ(part.GetNodeCount(), 4u);
    EXPECT_EQ(Node(1).kind, NodeKind::Primitive);
    EXPECT_EQ(Node(1).mesh.GetPolygonCount(), 1u);
    EXPECT_EQ(Node(2).kind, NodeKind::Subpart);
    EXPECT_EQ(Node(2).name, "b.dat");
    EXPECT_EQ(Node(3).kind, NodeKind::Primitive);
    EXPECT_EQ(Node(3).name, "4-4edge.dat");
}

// Each file holds a degenerate triangle so that its message shows the path
// actually opened.
TEST_F(LDrawReaderFiles, MatchesLibraryNamesInAnyCaseExactSpellingFirst)
{
    const std::string degenerate = "3 16 0 0 0 0 0 0 0 0 0\n";
    for (const char* file : {"Parts/3001.dat", "Parts/y.dat", "Parts/Y.DAT", "Parts/z.DAT",
                             "Parts/Z.dat", "parts/w.dat", "Parts/s/sub.dat", "Parts/S/sub.dat",
                             "P/d.dat/x", "Parts/d.dat", "Parts/e.dat"})
        Write(std::string("LIB/") + file, degenerate);
    fs::create_symlink(root + "nowhere", root + "LIB/P/e.dat");
    Write("model.ldr", Ref("3001.DAT") + Ref("y.dat") + Ref("z.dat") + Ref("SUB.DAT") +
                           Ref("d.dat") + Ref("e.dat") + Ref("w.dat"));
    EXPECT_FALSE(ReadModel("model.ldr", "LIB/"));
    const std::string line =
        " has a degenerate triangle with vertices | 0 0 0 |,| 0 0 0 |,| 0 0 0 |\n";
    const std::string base = "Error: " + root + "LIB/";
    // "Parts" comes before "parts" in byte order; "S" is spelt exactly.
    EXPECT_EQ(err, base + "Parts/3001.dat" + line + base + "Parts/y.dat" + line + base +
                       "Parts/Z.dat" + line + base + "Parts/S/sub.dat" + line + base +
                       "Parts/d.dat" + line + base + "Parts/e.dat" + line);
    EXPECT_EQ(out, "Error: cannot find file w.dat\n");
    EXPECT_EQ(Node(1).name, "3001.DAT");
    EXPECT_EQ(Node(4).kind, NodeKind::Subpart);
    EXPECT_EQ(Node(4).name, "SUB.DAT");
}

// A folder of thousands of names, a few spelt alike but for case: each
// finds its own spelling first, else the first alike in byte order.
TEST_F(LDrawReaderFiles, LargeFoldersMatchEveryNameAmongThousands)
{
    for (int i = 0; i < 3000; ++i)
        Write("big/n" + std::to_string(i) + "x.dat", "");
    for (const char* file : {"a.dat", "A.dat", "a.DAT", "B.dat", "sub/c.dat", "@az[long-name.dat"})
        Write(std::string("big/") + file, "");
    LibraryFolder folder;
    folder.List(root + "big/");
    EXPECT_EQ(folder.Find("a.DAT"), root + "big/a.DAT");
    EXPECT_EQ(folder.Find("A.DAT"), root + "big/A.dat");
    EXPECT_EQ(folder.Find("b.dat"), root + "big/B.dat");
    EXPECT_EQ(folder.Find("N2999X.DAT"), root + "big/n2999x.dat");
    EXPECT_EQ(folder.Find("sub"), "");
    EXPECT_EQ(folder.Find("n3000x.dat"), "");
    // Only the 26 letters fold: '@' and '[' stand beside 'A' and 'Z'.
    EXPECT_EQ(folder.Find("@AZ[LONG-NAME.DAT"), root + "big/@az[long-name.dat");
    EXPECT_EQ(folder.Find("`az{long-name.dat"), "");
}

// A large folder's listing is kept and read back while the folder is
// unchanged; a damaged one is listed afresh and kept again. Nothing is kept
// for a folder changed lately or a small one.
TEST_F(LDrawReaderFiles, KeptListingsFollowTheirFolder)
{
    const auto files = [](const std::string& records)
    {
        std::vector<std::string> names;
        ForEachEntry(records, [&names](std::string_view name, bool, bool isFile)
                     { names.emplace_back(isFile ? "" : "?").append(name); });
        std::sort(names.begin(), names.end());
        return names;
    };
    std::vector<std::string> expected;
    for (int i = 0; i < 600; ++i)
    {
        Write("big/n" + std::to_string(i) + ".dat", "");
        expected.push_back("n" + std::to_string(i) + ".dat");
    }
    fs::create_directories(root + "big/sub");
    expected.push_back("?sub");
    std::sort(expected.begin(), expected.end());
    const std::string cache = root + "cache/plinthex";
    const std::string listed = ListFolderKept(root + "big/", cache, 0);
    EXPECT_EQ(files(listed), expected);
    ASSERT_EQ(std::distance(fs::directory_iterator(cache), fs::directory_iterator()), 1);
    const std::string kept = fs::directory_iterator(cache)->path().string();
    const std::string keptBytes = ReadFile(kept);
    struct stat before;
    ASSERT_EQ(stat(kept.c_str(), &before), 0);
    EXPECT_EQ(ListFolderKept(root + "big/", cache, 0), listed);
    struct stat after;
    ASSERT_EQ(stat(kept.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);

    std::string damaged = keptBytes;
    damaged[damaged.size() - 3] ^= 1;
    WriteTextFile(kept, damaged);
    EXPECT_EQ(ListFolderKept(root + "big/", cache, 0), listed);
    EXPECT_EQ(ReadFile(kept), keptBytes);
    WriteTextFile(kept, keptBytes.substr(0, 100));
    EXPECT_EQ(ListFolderKept(root + "big/", cache, 0), listed);

    // Past a tick of the file system's clock, so the folder's times change.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    Write("big/new.dat", "");
    expected.insert(std::lower_bound(expected.begin(), expected.end(), "new.dat"), "new.dat");
    EXPECT_EQ(files(ListFolderKept(root + "big/", cache, 0)), expected);
    EXPECT_EQ(files(ListFolderKept(root + "big/", cache, 0)), expected);

    const std::string other = root + "other/plinthex";
    EXPECT_EQ(files(ListFolderKept(root + "big/", other)), expected);
    Write("small/a.dat", "");
    EXPECT_EQ(files(ListFolderKept(root + "small/", other, 0)), std::vector<std::string>{"a.dat"});
    EXPECT_FALSE(fs::exists(other));
}

// Keeping a listing removes the kept listings not read back for 30 days and
// temporary files older than a day, nothing else; reading one back notes
// the day.
TEST_F(LDrawReaderFiles, KeptListingsNotReadBackGo)
{
    for (int i = 0; i < 600; ++i)
        Write("big/n" + std::to_string(i) + ".dat", "");
    const std::string cache = root + "cache/plinthex/";
    const auto age = [](const std::string& path, int days) {
        fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24 * days));
    };
    const auto daysOld = [](const std::string& path)
    {
        return std::chrono::duration_cast<std::chrono::hours>(fs::file_time_type::clock::now() -
                                                              fs::last_write_time(path))
                   .count() /
               24;
    };
    const std::vector<std::pair<std::string, int>> before = {{"listing-1-2", 31},
                                                             {"listing-1-3", 29},
                                                             {"listing-1-4.new-5-6", 2},
                                                             {"listing-1-7.new-8-9", 0},
                                                             {"notes", 90}};
    for (const auto& [name, days] : before)
    {
        Write("cache/plinthex/" + name, "x");
        age(cache + name, days);
    }
    const std::string listed = ListFolderKept(root + "big/", cache, 0);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(cache))
        if (entry.path().filename().string().rfind("listing-1-", 0) != 0 &&
            entry.path().filename() != "notes")
            left.push_back(entry.path().string());
    ASSERT_EQ(left.size(), 1u);  // the new one
    for (const char* name : {"listing-1-3", "listing-1-7.new-8-9", "notes"})
        EXPECT_TRUE(fs::exists(cache + name)) << name;
    for (const char* name : {"listing-1-2", "listing-1-4.new-5-6"})
        EXPECT_FALSE(fs::exists(cache + name)) << name;

    age(left[0], 3);
    EXPECT_EQ(ListFolderKept(root + "big/", cache, 0), listed);
    EXPECT_EQ(daysOld(left[0]), 0);
}

TEST_F(LDrawReaderFiles, NamesNodesAfterEitherSeparator)
{
    Write("lib/parts/c.dat", "");
    Write("dir/odd\\model.ldr", Ref("a/b\\C.dat"));
    ASSERT_TRUE(ReadModel("dir/odd\\model.ldr", "lib/"));
    EXPECT_EQ(Node(0).name, "model.ldr");
    EXPECT_EQ(Node(1).name, "C.dat");
}

TEST_F(LDrawReaderFiles, FailsQuietlyOnAModelThatCannotBeOpened)
{
    fs::create_directories(root + "folder.ldr");
    EXPECT_FALSE(ReadModel("missing.ldr"));
    EXPECT_FALSE(ReadModel("folder.ldr"));
    EXPECT_EQ(part.GetNodeCount(), 0u);
    EXPECT_TRUE(out.empty() && err.empty());
}

TEST_F(LDrawReaderFiles, ReadsStatementsAsTokensBoundToTheirLines)
{
    Write("lib/parts/a  b.dat", kTriangle);
    Write("model.ldr",
          "0 3 16 0 0 0 1 0 0 0 1 0\n"
          "2 24 0 0 0 1 1 1 3 16 0 0 0 1 0 0 0 1 0\n5 24 0 0 0 1 1 1 2 2 2 3 3 3 //\n"
          "7 3 16 0 0 0 1 0 0 0 1 0\n"
          "3 16 0 0 0\n 1 0 0 0 1 0 3 16 0 0 0 0 0 1 1 0 0\n"
          "1 4 0 0 0 1 0 0 0 1 0 0 0 1 a  b.dat \t\r\n"
          "not a statement 3 16 0 0 0 1 0 0 0 1 0\n"
          "3 16 1.23456789 0 0 1.23456789 0 0 1 1 1 3 5 0 0 2 0 0 0 2 0 0\n");
    std::cerr.precision(2);
    ASSERT_TRUE(ReadModel());
    std::cerr.precision(6);
    EXPECT_EQ(Node(0).mesh.GetPolygonCount(), 1u);
    ASSERT_EQ(Node(0).children.size(), 1u);
    EXPECT_EQ(Node(1).name, "a  b.dat");
    EXPECT_EQ(Node(1).mesh.GetPolygonCount(), 1u);
    EXPECT_EQ(err, "Error: " + root + "model.ldr line 8: not an LDraw statement, line ignored\n" +
                       "Error: " + root +
                       "model.ldr has a degenerate triangle with vertices "
                       "| 1.23457 0 0 |,| 1.23457 0 0 |,| 1 1 1 |\n");

    // Ten lines that are no statements are named, the rest counted.
    std::string many;
    for (int i = 0; i < 13; ++i)
        many += "x\n";
    Write("model.ldr", many);
    ASSERT_TRUE(ReadModel());
    EXPECT_NE(err.find("model.ldr line 10: not an LDraw statement"), std::string::npos);
    EXPECT_EQ(err.find("model.ldr line 11:"), std::string::npos);
    EXPECT_NE(err.find("model.ldr: 3 more lines that are not LDraw statements ignored\n"),
              std::string::npos);
}

TEST_F(LDrawReaderFiles, ReordersCrossedQuadrilaterals)
{
    Write("model.ldr", "4 16 0 0 0 1 0 0 1 1 0 0 1 0\n4 16 0 0 0 1 0 0 0 1 0 1 1 0\n");
    ASSERT_TRUE(ReadModel());
    const LEGOPolyMesh& mesh = Node(0).mesh;
    ASSERT_EQ(mesh.GetPolygonCount(), 4u);
    for (unsigned p = 0; p < 2; ++p)
        for (unsigned k = 0; k < 3; ++k)
            EXPECT_EQ(mesh.GetPolygonVertexIndices(p)[k], mesh.GetPolygonVertexIndices(p + 2)[k]);
    EXPECT_FALSE(
        SegmentsCross(Vector3(0, 0, 0), Vector3(1, 0, 0), Vector3(0, 1, 0), Vector3(1, 1, 0)));
    EXPECT_TRUE(SegmentsCross(Vector3(0, 0, 0), Vector3(1, 0, 0), Vector3(1.00009, 1, 0),
                              Vector3(1.00009, 2, 0)));
}

TEST_F(LDrawReaderFiles, MissingReferenceStopsOnlyItsFile)
{
    Write("lib/parts/a.dat", kTriangle + Ref("gone.dat") + kTriangle);
    Write("lib/parts/b.dat", "");
    Write("model.ldr", Ref("a.dat") + kTriangle + Ref("b.dat"));
    ASSERT_TRUE(ReadModel());
    EXPECT_EQ(out, "Error: cannot find file gone.dat\n");
    ASSERT_EQ(part.GetNodeCount(), 3u);
    EXPECT_EQ(Node(1).mesh.GetPolygonCount(), 1u);
    EXPECT_EQ(Node(0).children.size(), 2u);
    EXPECT_EQ(Node(0).mesh.GetPolygonCount(), 1u);
    // A file stopped at a missing reference does not give its count back.
    EXPECT_EQ(Node(2).tag, 5);

    Write("model.ldr", kTriangle + Ref("gone.dat") + kTriangle);
    EXPECT_FALSE(ReadModel());
    EXPECT_EQ(Node(0).mesh.GetPolygonCount(), 1u);
}

// Files are read ahead on other threads: what they say must still be told,
// and acted on, in the order of a reading on one.
TEST_F(LDrawReaderFiles, ReadingAheadOnManyJobsGivesWhatOneGives)
{
    std::string model = "0 FILE main.ldr\n";
    for (int i = 0; i < 40; ++i)
    {
        const std::string n = std::to_string(i);
        std::string text = kTriangle + "3 16 " + n + " 0 0 " + n + " 0 0 " + n + " 0 0\n";
        text += Ref("s\\sub" + std::to_string(i % 7) + ".dat") + "junk " + n + "\n";
        if (i % 9 == 4)
            text += Ref("gone" + n + ".dat");
        if (i % 11 == 5)
            text += "3 16 1 2\n";
        text += "4 16 0 0 0 1 0 0 1 1 0 0 1 " + n + "\n";
        Write("lib/parts/p" + n + ".dat", text);
        model += Ref(i % 2 == 0 ? "p" + n + ".dat" : "sm" + n + ".ldr");
    }
    for (int i = 0; i < 7; ++i)
        Write("lib/parts/s/sub" + std::to_string(i) + ".dat", kTriangle + Ref("stud.dat"));
    Write("lib/p/stud.dat", "3 16 0 0 0 2 0 0 0 2 5\n");
    for (int i = 1; i < 40; i += 2)
        model += "0 FILE sm" + std::to_string(i) + ".ldr\n" +
                 Ref("p" + std::to_string(i) + ".dat") + Ref("p" + std::to_string(i - 1) + ".dat") +
                 "bad line\n";
    Write("model.mpd", model);
    const auto describe = [&]()
    {
        std::ostringstream text;
        text << out << err;
        for (unsigned i = 0; i < part.GetNodeCount(); ++i)
        {
            const _LegoNode& node = Node(i);
            text << node.name << ' ' << node.kind << ' ' << node.tag << ' ' << node.children.size();
            for (unsigned v = 0; v < node.mesh.GetVertexCount(); ++v)
                text << ' ' << node.mesh.GetVertex(v);
            for (const _LegoInstance& child : node.children)
                text << " >" << child.node << ':' << child.color;
            text << '\n';
        }
        return text.str();
    };
    reader.SetSkipMissing(true);
    Parallel::SetJobs(1);
    ASSERT_TRUE(ReadModel("model.mpd"));
    const std::string alone = describe();
    EXPECT_NE(err.find("degenerate"), std::string::npos);
    for (const unsigned jobs : {2u, 4u})
    {
        Parallel::SetJobs(jobs);
        ASSERT_TRUE(ReadModel("model.mpd"));
        EXPECT_EQ(describe(), alone) << jobs;
    }
    Parallel::SetJobs(0);
}

TEST_F(LDrawReaderFiles, PartlyReadFileSendsTheLookupOnToTheNextFolder)
{
    Write("lib/p/q.dat", kTriangle + Ref("gone.dat"));
    Write("lib/parts/q.dat", kTriangle + kTriangle);
    Write("model.ldr", Ref("q.dat") + Ref("Q.DAT"));
    ASSERT_TRUE(ReadModel());
    EXPECT_EQ(out, "Error: cannot find file gone.dat\n");
    ASSERT_EQ(part.GetNodeCount(), 3u);
    EXPECT_EQ(Node(1).kind, NodeKind::Primitive);
    EXPECT_EQ(Node(2).kind, NodeKind::Part);
    EXPECT_EQ(Node(2).mesh.GetPolygonCount(), 2u);
    // The first node of the name is the one referred to.
    ASSERT_EQ(Node(0).children.size(), 2u);
    EXPECT_EQ(Node(0).children[0].node, 1);
    EXPECT_EQ(Node(0).children[1].node, 1);
}

TEST_F(LDrawReaderFiles, UnreadableStatementEndsItsFileOnly)
{
    Write("lib/parts/a.dat", "3 16 1 2\r\n\r\n");
    Write("model.ldr",
          kTriangle + Ref("a.dat") + "\r\n3 0x4F05C00 0 0 0 1 0 0 0 1 0\r\n" + kTriangle);
    ASSERT_TRUE(ReadModel());
    const std::string rest = ": unreadable statement, rest of file ignored\n";
    EXPECT_EQ(err, "Error: " + lib + "parts/a.dat line 2" + rest + "Error: " + root +
                       "model.ldr line 4" + rest);
    EXPECT_EQ(Node(0).mesh.GetPolygonCount(), 1u);
    EXPECT_EQ(Node(0).children.size(), 1u);
    EXPECT_EQ(Node(1).mesh.GetPolygonCount(), 0u);
    EXPECT_EQ(Node(1).tag, 3);

    Write("model.ldr", "0 comment\n1 16 0 0 0 1 0 0 0 1 0 0 0 1");
    ASSERT_TRUE(ReadModel());
    EXPECT_EQ(err, "Error: " + root + "model.ldr line 2" + rest);
}

TEST_F(LDrawReaderFiles, IgnoresReferencesThatCloseACycle)
{
    Write("lib/parts/a.dat", Ref("b.dat"));
    Write("lib/parts/b.dat", Ref("c.dat") + Ref("s\\A.DAT") + kTriangle);
    Write("lib/parts/c.dat", "");
    Write("model.ldr", Ref("a.dat") + Ref("MODEL.LDR") + Ref("b.dat") + Ref("c.dat"));
    ASSERT_TRUE(ReadModel());
    const std::string rest = ", which includes it; reference ignored\n";
    EXPECT_EQ(err, "Error: " + lib + "parts/b.dat references A.DAT" + rest + "Error: " + root +
                       "model.ldr references MODEL.LDR" + rest);
    ASSERT_EQ(part.GetNodeCount(), 4u);
    // Files already read are ordinary references, however they were reached.
    ASSERT_EQ(Node(0).children.size(), 3u);
    EXPECT_EQ(Node(0).children[1].node, 2);
    EXPECT_EQ(Node(0).children[2].node, 3);
    ASSERT_EQ(Node(2).children.size(), 1u);
    EXPECT_EQ(Node(2).mesh.GetPolygonCount(), 1u);
}

TEST_F(LDrawReaderFiles, ReadsAChainOfOneHundredThousandNestedFiles)
{
    constexpr int kDepth = 100000;
    fs::create_directories(lib + "parts");
    for (int i = 0; i < kDepth; ++i)
        std::ofstream(lib + "parts/c" + std::to_string(i) + ".dat")
            << (i + 1 < kDepth ? Ref("c" + std::to_string(i + 1) + ".dat") : kTriangle);
    Write("model.ldr", Ref("c0.dat"));
    ASSERT_TRUE(ReadModel());
    ASSERT_EQ(part.GetNodeCount(), kDepth + 1u);
    EXPECT_EQ(Node(kDepth).tag, 2 * kDepth + 1);
    EXPECT_EQ(Node(kDepth).mesh.GetPolygonCount(), 1u);
    EXPECT_EQ(Node(kDepth - 1).children[0].node, kDepth);
}

TEST_F(LDrawReaderFiles, LibraryEntriesThatAreNoFilesCountAsMissingWithoutWaiting)
{
    // A pipe would block an ordinary open until someone writes to it, and a
    // device may never end; a folder and a dangling link cannot be read.
    Write("lib/parts/good.dat", kTriangle);
    fs::create_directories(lib + "parts/folder.dat");
    ASSERT_EQ(mkfifo((lib + "parts/pipe.dat").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", lib + "parts/zero.dat");
    fs::create_symlink(lib + "parts/nowhere", lib + "parts/dangling.dat");
    for (const char* name : {"pipe.dat", "zero.dat", "folder.dat", "dangling.dat"})
    {
        Write("lib/parts/holder.dat", Ref(name) + kTriangle);
        Write("model.ldr", Ref("good.dat") + Ref("holder.dat"));
        ASSERT_TRUE(ReadModel()) << name;
        EXPECT_EQ(out, "Error: cannot find file " + std::string(name) + "\n");
        ASSERT_EQ(part.GetNodeCount(), 3u) << name;
        EXPECT_EQ(Node(2).mesh.GetPolygonCount(), 0u) << name;
    }
}

TEST_F(LDrawReaderFiles, AModelFromAFifoWaitsForItsWriterAndIsReadWhole)
{
    const std::string fifo = root + "model.ldr";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::thread writer(
        [&]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::ofstream(fifo) << "3 16 0 0 0 1 0 0 0 1 0\n";
        });
    const bool isRead = ReadModel();
    writer.join();
    ASSERT_TRUE(isRead);
    ASSERT_EQ(part.GetNodeCount(), 1u);
    EXPECT_EQ(Node(0).mesh.GetPolygonCount(), 1u);
}

TEST_F(LDrawReaderFiles, ReadsFilesWithCarriageReturnLineEnds)
{
    Write("lib/parts/a.dat", "0 a part\r" + std::string("3 16 0 0 0 1 0 0 0 1 0\r"));
    Write("model.ldr",
          "\xEF\xBB\xBF"
          "0 old Mac model\r1 4 0 0 0 1 0 0 0 1 0 0 0 1 a.dat\r"
          "0 cut\r3 16 1 2");
    ASSERT_TRUE(ReadModel());
    EXPECT_EQ(err,
              "Error: " + root + "model.ldr line 4: unreadable statement, rest of file ignored\n");
    ASSERT_EQ(part.GetNodeCount(), 2u);
    ASSERT_EQ(Node(0).children.size(), 1u);
    EXPECT_EQ(Node(1).mesh.GetPolygonCount(), 1u);
}

}  // namespace
