// Multi-part model files, files beside the model, hi-res primitives, files of
// the same base name in two folders, and direct colours.

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "reader/ldrawreader.h"
#include "tests/reader_files.h"

namespace
{

using namespace reader_files;

const std::string kDegenerate = "3 16 0 0 0 0 0 0 1 1 1\n";
const std::string kDegenerateLine =
    " has a degenerate triangle with vertices | 0 0 0 |,| 0 0 0 |,| 1 1 1 |\n";
const std::string kCycle = ", which includes it; reference ignored\n";

std::vector<int> ChildNodes(const _LegoNode& node)
{
    std::vector<int> nodes;
    nodes.reserve(node.children.size());
    for (const _LegoInstance& child : node.children)
        nodes.push_back(child.node);
    return nodes;
}

TEST_F(LDrawReaderFiles, ReadsEmbeddedFilesOfAMultiPartModelWhenReferenced)
{
    Write("model.mpd", "0 Title\n" +                            // 1
                           Ref("sub.ldr", 4) +                  // 2: before any FILE line
                           "0 FILE main.ldr\n" +                // 3
                           Ref("Sub.LDR", 2) + kTriangle +      // 4, 5
                           "0 NOFILE\n" + kTriangle +           // 6, 7: in no section
                           "0 FILE  SUB.ldr \r\n" +             // 8
                           Ref("nested.ldr") +                  // 9
                           Ref("Main.ldr") +                    // 10: back to the first section
                           "0 FILE dir\\nested.ldr\n" +         // 11
                           kDegenerate + kTriangle +            // 12, 13
                           "3 16 1 2\n" +                       // 14: cut short by the next section
                           "0 FILE unused.ldr\n" + kTriangle +  // 15, 16
                           "0 FILE sub.ldr\n" + kTriangle + kTriangle);  // a second of that name
    ASSERT_TRUE(ReadModel("model.mpd"));
    const std::string path = "Error: " + root + "model.mpd:";
    EXPECT_EQ(err, path + "nested.ldr" + kDegenerateLine + path +
                       "nested.ldr line 14: unreadable statement, rest of file ignored\n" + path +
                       "SUB.ldr references Main.ldr" + kCycle);
    EXPECT_EQ(out, "");
    ASSERT_EQ(part.GetNodeCount(), 3u);
    EXPECT_EQ(Node(0).name, "model.mpd");
    EXPECT_EQ(ChildNodes(Node(0)), (std::vector<int>{1, 1}));
    EXPECT_EQ(Node(0).children[0].color, 4);
    EXPECT_EQ(Node(0).mesh.GetPolygonCount(), 1u);
    // Named after the FILE line, counted like library files.
    EXPECT_EQ(Node(1).name, "SUB.ldr");
    EXPECT_EQ(Node(1).kind, NodeKind::Model);
    EXPECT_EQ(Node(1).tag, 3);
    EXPECT_EQ(ChildNodes(Node(1)), std::vector<int>{2});
    EXPECT_EQ(Node(2).name, "nested.ldr");
    EXPECT_EQ(Node(2).tag, 5);
    EXPECT_EQ(Node(2).mesh.GetPolygonCount(), 1u);
}

TEST_F(LDrawReaderFiles, EmbeddedFilesComeBeforeTheLibraryAndOnlyTheModelIsSplit)
{
    Write("lib/parts/a.dat", "0 FILE x.dat\n" + kTriangle + "0 FILE y.dat\n" + kTriangle +
                                 Ref("shared.dat") + Ref("main.ldr"));
    Write("lib/parts/shared.dat", kTriangle + kTriangle + kTriangle);
    Write("model.mpd", "0 FILE main.ldr\n" + Ref("a.dat") + Ref("SHARED.DAT") + Ref("broken.ldr") +
                           "0 FILE shared.dat\n" + kTriangle + "0 FILE broken.ldr\n" + kTriangle +
                           Ref("gone.dat") + kTriangle);
    // A name missing in an embedded file stops that file only.
    ASSERT_TRUE(ReadModel("model.mpd"));
    EXPECT_EQ(out, "Error: cannot find file gone.dat\n");
    EXPECT_EQ(err, "Error: " + lib + "parts/a.dat references main.ldr" + kCycle);
    ASSERT_EQ(part.GetNodeCount(), 4u);
    EXPECT_EQ(Node(1).name, "a.dat");
    EXPECT_EQ(Node(1).mesh.GetPolygonCount(), 2u);
    EXPECT_EQ(ChildNodes(Node(1)), std::vector<int>{2});
    EXPECT_EQ(Node(2).kind, NodeKind::Model);
    EXPECT_EQ(Node(2).mesh.GetPolygonCount(), 1u);
    EXPECT_EQ(ChildNodes(Node(0)), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(Node(3).mesh.GetPolygonCount(), 1u);
}

TEST_F(LDrawReaderFiles, FindsFilesBesideTheModelAndInTheLibraryModelsFolder)
{
    Write("lib/parts/3001.dat", kTriangle);
    Write("lib/parts/shadow.dat", kTriangle);
    Write("lib/Models/garage.ldr", kTriangle);
    Write("lib/Models/sub/Door.LDR", kDegenerate);
    Write("house/shadow.dat", kTriangle + kTriangle);
    Write("house/roof.ldr", Ref("3001.dat"));
    // Further references are still looked for beside the model, not beside
    // the file that makes them, and never above the model's folder.
    Write("house/Walls/wall.ldr", kTriangle + Ref("window.ldr") + Ref("..\\outside.ldr"));
    Write("house/window.ldr", kTriangle);
    Write("outside.ldr", kTriangle);
    Write("house/shed.ldr", kTriangle);
    Write("house/model.ldr", Ref("Roof.LDR") + Ref("walls\\Wall.ldr") + Ref("garage.ldr") +
                                 Ref("SUB/door.ldr") + Ref("shadow.dat") + Ref(".\\shed.ldr"));
    ASSERT_TRUE(ReadModel("house/model.ldr"));
    EXPECT_EQ(out, "Error: cannot find file outside.ldr\n");
    EXPECT_EQ(err, "Error: " + lib + "Models/sub/Door.LDR" + kDegenerateLine);
    const char* names[] = {"model.ldr",  "Roof.LDR", "3001.dat",   "Wall.ldr", "window.ldr",
                           "garage.ldr", "door.ldr", "shadow.dat", "shed.ldr"};
    const int kinds[] = {3, 3, 0, 3, 3, 3, 3, 0, 3};
    ASSERT_EQ(part.GetNodeCount(), 9u);
    for (unsigned i = 0; i < 9; ++i)
    {
        EXPECT_EQ(Node(i).name, names[i]) << i;
        EXPECT_EQ(Node(i).kind, kinds[i]) << i;
    }
    // The library's file of that base name comes first.
    EXPECT_EQ(Node(7).mesh.GetPolygonCount(), 1u);
    EXPECT_EQ(ChildNodes(Node(0)), (std::vector<int>{1, 3, 5, 6, 7, 8}));
}

// A reference beside the model reaches regular files only: a pipe would
// block the read for good.
TEST_F(LDrawReaderFiles, ReachesNoPipeBesideTheModel)
{
    Write("model.ldr", kTriangle + Ref("sub.ldr"));
    Write("sub.ldr", Ref("pipe.ldr") + kTriangle);
    ASSERT_EQ(mkfifo((root + "pipe.ldr").c_str(), 0600), 0);
    ASSERT_TRUE(ReadModel());
    EXPECT_EQ(out, "Error: cannot find file pipe.ldr\n");
    EXPECT_EQ(part.GetNodeCount(), 2u);
}

TEST_F(LDrawReaderFiles, ReadsHiResPrimitivesWrittenWithTheirFolder)
{
    Write("lib/p/48/ring.dat", kTriangle);
    Write("lib/p/8/low.dat", kTriangle);
    Write("lib/p/edge.dat", kTriangle);
    Write("lib/p/48/edge.dat", kTriangle + kTriangle);
    Write("lib/p/48/only.dat", kTriangle);
    Write("lib/p/48/deep.dat", kTriangle);
    Write("lib/parts/a.dat", Ref("only.dat"));
    Write("lib/parts/b.dat", Ref("x\\48\\deep.dat"));
    Write("model.ldr", Ref("48\\ring.dat") + Ref("8/LOW.DAT") + Ref("ring.dat") +
                           Ref("48\\edge.dat") + Ref("a.dat") + Ref("b.dat"));
    ASSERT_TRUE(ReadModel());
    // Only a reference written with 48\ or 8\ alone reaches those folders.
    EXPECT_EQ(out, "Error: cannot find file only.dat\nError: cannot find file deep.dat\n");
    EXPECT_EQ(err, "");
    ASSERT_EQ(part.GetNodeCount(), 6u);
    EXPECT_EQ(Node(1).name, "ring.dat");
    EXPECT_EQ(Node(1).kind, NodeKind::Primitive);
    EXPECT_EQ(Node(2).name, "LOW.DAT");
    EXPECT_EQ(Node(2).kind, NodeKind::Primitive);
    EXPECT_EQ(Node(2).mesh.GetPolygonCount(), 1u);
    // The standard-resolution file of that name comes first.
    EXPECT_EQ(Node(3).mesh.GetPolygonCount(), 1u);
    EXPECT_EQ(ChildNodes(Node(0)), (std::vector<int>{1, 2, 1, 3, 4, 5}));
}

TEST_F(LDrawReaderFiles, ReadsASubpartNamedLikeItsPartAsWritten)
{
    Write("lib/parts/2421a.dat", Ref("s\\2421a.dat") + kTriangle);
    Write("lib/parts/s/2421a.dat", kTriangle + kTriangle + Ref("S/2421A.DAT"));
    Write("lib/parts/b.dat", Ref("s\\b.dat"));
    Write("lib/p/c.dat", Ref("48\\c.dat") + kTriangle);
    Write("lib/p/48/c.dat", kTriangle + kTriangle);
    Write("model.ldr", Ref("2421a.dat") + Ref("s\\2421A.dat") + Ref("2421A.DAT") + Ref("b.dat") +
                           Ref("c.dat") + Ref("48\\C.dat"));
    ASSERT_TRUE(ReadModel());
    EXPECT_EQ(out, "");
    // With no such file, or from that file itself, it is a cycle as before.
    EXPECT_EQ(err, "Error: " + lib + "parts/s/2421a.dat references 2421A.DAT" + kCycle +
                       "Error: " + lib + "parts/b.dat references b.dat" + kCycle);
    ASSERT_EQ(part.GetNodeCount(), 6u);
    EXPECT_EQ(ChildNodes(Node(0)), (std::vector<int>{1, 2, 1, 3, 4, 5}));
    EXPECT_EQ(Node(1).kind, NodeKind::Part);
    EXPECT_EQ(ChildNodes(Node(1)), std::vector<int>{2});
    EXPECT_EQ(Node(2).name, "2421a.dat");
    EXPECT_EQ(Node(2).kind, NodeKind::Subpart);
    EXPECT_EQ(Node(2).tag, 5);
    EXPECT_EQ(Node(2).mesh.GetPolygonCount(), 2u);
    EXPECT_EQ(ChildNodes(Node(4)), std::vector<int>{5});
    EXPECT_EQ(Node(5).name, "c.dat");
    EXPECT_EQ(Node(5).kind, NodeKind::Primitive);
    EXPECT_EQ(Node(5).mesh.GetPolygonCount(), 2u);
    // FindNode still answers with the first node of the name.
    EXPECT_EQ(part.FindNode("2421a.dat"), 1);
}

TEST_F(LDrawReaderFiles, ReadsDirectColoursWhereverAColourStands)
{
    Write("lib/parts/a.dat", "");
    Write("model.ldr",
          "3 0x2FF8000 0 0 0 1 0 0 0 1 0\n"
          "4 0X3abcdef 0 0 0 1 0 0 1 1 0 0 1 0\n"
          "2 0x2000000 0 0 0 1 1 1\n"
          "5 0x3000000 0 0 0 1 1 1 2 2 2 3 3 3\n"
          "1 0x2123456 0 0 0 1 0 0 0 1 0 0 0 1 a.dat\n"
          "3 33554432 0 0 0 1 0 0 0 1 0\n"
          "3 0x4000000 0 0 0 1 0 0 0 1 0\n" +
              kTriangle);
    ASSERT_TRUE(ReadModel());
    EXPECT_EQ(err,
              "Error: " + root + "model.ldr line 7: unreadable statement, rest of file ignored\n");
    const LEGOPolyMesh& mesh = Node(0).mesh;
    ASSERT_EQ(mesh.GetPolygonCount(), 4u);
    EXPECT_EQ(mesh.FaceColor(0u), 0x2FF8000);
    EXPECT_EQ(mesh.FaceColor(1u), 0x3ABCDEF);
    EXPECT_EQ(mesh.FaceColor(2u), 0x3ABCDEF);
    EXPECT_EQ(mesh.FaceColor(3u), 0x2000000);
    ASSERT_EQ(Node(0).children.size(), 1u);
    EXPECT_EQ(Node(0).children[0].color, 0x2123456);
}

}  // namespace
