#include "model/legopart.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "model/parallel.h"

namespace
{

TEST(LegoPartNodes, NewNodesCountUpWithEmptyBoxes)
{
    LegoPart part;
    EXPECT_EQ(part.NewNodeIndex(), 0);
    EXPECT_EQ(part.NewNodeIndex(), 1);
    EXPECT_EQ(part.NewNodeIndex(), 2);
    const _LegoNode* node = part.GetNode(2);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->boxMax.x, -1000000.0);
    EXPECT_EQ(node->boxMax.z, -1000000.0);
    EXPECT_EQ(node->boxMin.y, 1000000.0);
    EXPECT_TRUE(node->children.empty());
    EXPECT_EQ(node->mesh.GetPolygonCount(), 0u);
    EXPECT_TRUE(node->name.empty() && node->note.empty());
}

TEST(LegoPartNodes, FindNodeIgnoresAsciiCaseAndReturnsTheLowestIndex)
{
    LegoPart part;
    EXPECT_EQ(part.FindNode("3001.dat"), -1);
    part.Node(static_cast<unsigned>(part.NewNodeIndex())).name = "model.ldr";
    part.Node(static_cast<unsigned>(part.NewNodeIndex())).name = "3001.dat";
    part.Node(static_cast<unsigned>(part.NewNodeIndex())).name = "3001.DAT";
    EXPECT_EQ(part.FindNode("3001.DAT"), 1);
    EXPECT_EQ(part.FindNode("3001.dat"), 1);
    EXPECT_EQ(part.FindNode("3001.da"), -1);
    EXPECT_EQ(part.FindNode("3001.dat2"), -1);
    // Only ASCII letters fold: bytes above 127 compare as they are.
    part.Node(static_cast<unsigned>(part.NewNodeIndex())).name = "\xC3\xA9.dat";
    EXPECT_EQ(part.FindNode("\xC3\x89.dat"), -1);
    EXPECT_EQ(part.FindNode("\xC3\xA9.DAT"), 3);
}

#ifndef NDEBUG
TEST(LegoPartNodesDeathTest, AnOutOfRangeNodeAssertsInDebugBuilds)
{
    LegoPart part;
    EXPECT_EQ(part.GetNode(0), nullptr);
    EXPECT_DEATH(part.Node(0), "shared default node");
}
#else
TEST(LegoPartNodes, OutOfRangeLookupsGiveNullOrTheSharedDefaultNode)
{
    LegoPart part;
    EXPECT_EQ(part.GetNode(0), nullptr);
    _LegoNode& shared = part.Node(0);
    EXPECT_EQ(shared.kind, 0);
    EXPECT_EQ(shared.tag, 0);
    part.NewNodeIndex();
    EXPECT_EQ(part.GetNode(1), nullptr);
    EXPECT_NE(part.GetNode(0), nullptr);
    EXPECT_NE(&part.Node(0), &shared);
    // Every part shares it, and writes through it stay.
    LegoPart other;
    EXPECT_EQ(&other.Node(7), &shared);
    shared.name = "scribbled";
    EXPECT_EQ(part.Node(1).name, "scribbled");
    shared.name.clear();
}
#endif

TEST(LegoPartNodes, NodesKeepTheirContentsWhenTheVectorGrows)
{
    LegoPart part;
    const unsigned first = static_cast<unsigned>(part.NewNodeIndex());
    _LegoNode& node = part.Node(first);
    node.name = "first";
    node.tag = 3;
    node.kind = NodeKind::Subpart;
    const Vector3 corners[3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    node.mesh.FaceColor(node.mesh.AddPolygon(3, corners)) = 14;
    _LegoInstance child;
    child.color = 4;
    child.transform.m[3] = 10;
    child.node = 0;
    node.children.push_back(child);
    for (int i = 0; i < 100; ++i)
        part.NewNodeIndex();
    const _LegoNode& moved = part.Node(first);
    EXPECT_EQ(moved.name, "first");
    EXPECT_EQ(moved.tag, 3);
    EXPECT_EQ(moved.kind, NodeKind::Subpart);
    EXPECT_EQ(moved.mesh.GetPolygonCount(), 1u);
    EXPECT_EQ(moved.mesh.FaceColor(0), 14);
    ASSERT_EQ(moved.children.size(), 1u);
    EXPECT_EQ(moved.children[0].transform.m[3], 10.0);
    // The moved mesh still merges against its old vertices.
    const Vector3 again[3] = {{0, 0, 0}, {1, 0, 0}, {0, 0, 1}};
    part.Node(first).mesh.AddPolygon(3, again);
    EXPECT_EQ(part.Node(first).mesh.GetVertexCount(), 4u);
}

TEST(LegoPartNodes, ClearDestroysEveryNode)
{
    LegoPart part;
    part.NewNodeIndex();
    part.NewNodeIndex();
    part.Clear();
    EXPECT_EQ(part.GetNodeCount(), 0u);
    EXPECT_EQ(part.NewNodeIndex(), 0);
}

}  // namespace

TEST(ParallelFor, CoversEveryIndexOnceForAnyJobNumber)
{
    for (const unsigned jobs : {1u, 2u, 7u})
    {
        Parallel::SetJobs(jobs);
        std::vector<int> seen(1001, 0);
        Parallel::For(seen.size(), 10,
                      [&](std::size_t begin, std::size_t end)
                      {
                          for (std::size_t i = begin; i < end; ++i)
                              ++seen[i];
                      });
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 1001) << jobs;
        // A call inside a piece, as the merging makes, and many calls in a
        // row all cover every index once.
        std::atomic<int> nested{0};
        for (int round = 0; round < 50; ++round)
            Parallel::ForEach(3,
                              [&](std::size_t)
                              {
                                  Parallel::For(40, 1,
                                                [&](std::size_t begin, std::size_t end)
                                                { nested += static_cast<int>(end - begin); });
                              });
        EXPECT_EQ(nested.load(), 50 * 3 * 40) << jobs;
        EXPECT_THROW(Parallel::For(100, 1,
                                   [](std::size_t, std::size_t end)
                                   {
                                       if (end > 50)
                                           throw std::runtime_error("piece failed");
                                   }),
                     std::runtime_error);
    }
    Parallel::SetJobs(0);
}

// A child process has none of its parent's threads: its parallel work runs
// on threads of its own and ends.
TEST(ParallelFor, WorksInAChildProcess)
{
    Parallel::SetJobs(2);
    std::atomic<int> count{0};
    Parallel::For(100, 1,
                  [&](std::size_t begin, std::size_t end)
                  { count += static_cast<int>(end - begin); });
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        std::atomic<int> inChild{0};
        Parallel::For(100, 1,
                      [&](std::size_t begin, std::size_t end)
                      { inChild += static_cast<int>(end - begin); });
        _exit(inChild.load() == 100 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(count.load(), 100);
    Parallel::SetJobs(0);
}
