#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "reader/ldrawreader.h"

namespace
{

namespace fs = std::filesystem;

// True when following references from node to node can never return to a
// node (Kahn's algorithm over all nodes).
bool IsAcyclic(const LegoPart& part)
{
    const unsigned count = part.GetNodeCount();
    std::vector<unsigned> referenceCount(count, 0);
    for (unsigned i = 0; i < count; ++i)
        for (const _LegoInstance& child : part.GetNode(i)->children)
            ++referenceCount[static_cast<unsigned>(child.node)];
    std::vector<unsigned> ready;
    for (unsigned i = 0; i < count; ++i)
        if (referenceCount[i] == 0)
            ready.push_back(i);
    unsigned doneCount = 0;
    while (!ready.empty())
    {
        const unsigned node = ready.back();
        ready.pop_back();
        ++doneCount;
        for (const _LegoInstance& child : part.GetNode(node)->children)
            if (--referenceCount[static_cast<unsigned>(child.node)] == 0)
                ready.push_back(static_cast<unsigned>(child.node));
    }
    return doneCount == count;
}

// Every shared model, in both its forms, reads without a message: hi-res
// primitives, direct colours, embedded files and the subpart named like its
// part (parts/2421a.dat) all resolve.
TEST(LDrawReaderRealModels, ReadEverySharedModelAgainstTheSharedLibrary)
{
    const std::string shared = PLINTHEX_SHARED_DIR;
    if (!fs::is_directory(shared + "/ldraw") || !fs::is_directory(shared + "/models"))
        GTEST_SKIP() << "no shared LDraw library and models at " << shared;
    const std::string library = shared + "/ldraw";
    unsigned modelCount = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(shared + "/models"))
    {
        if (entry.path().extension() != ".ldr" && entry.path().extension() != ".mpd")
            continue;
        ++modelCount;
        const std::string model = entry.path().filename().string();
        SCOPED_TRACE(model);

        const std::ostringstream out;
        const std::ostringstream err;
        std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
        std::streambuf* oldErr = std::cerr.rdbuf(err.rdbuf());
        LDrawReader reader;
        LegoPart part;
        const bool isRead = reader.Read(library, entry.path().string(), part);
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);

        ASSERT_TRUE(isRead);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(err.str(), "");
        EXPECT_EQ(part.Node(0).name, model);
        EXPECT_TRUE(IsAcyclic(part));
        // Every reference names the first node of its name, as FindNode finds
        // it, but for a subpart or primitive read as written because its base
        // name led back into the file placing it.
        for (unsigned i = 0; i < part.GetNodeCount(); ++i)
            for (const _LegoInstance& child : part.GetNode(i)->children)
            {
                const _LegoNode& node = part.Node(static_cast<unsigned>(child.node));
                const int first = part.FindNode(node.name.c_str());
                if (first == child.node)
                    continue;
                EXPECT_LT(first, child.node) << node.name;
                EXPECT_TRUE(node.kind == NodeKind::Subpart || node.kind == NodeKind::Primitive)
                    << node.name;
            }
    }
    EXPECT_GT(modelCount, 0u);
}

}  // namespace
