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

struct ModelCase
{
    const char* model;
    const char* out;
    const char* err; // "@" stands for the library directory
};

// Every line here is expected: references written as 48\name whose file lies
// only in p/48/, colours written as 0x2RRGGBB, and one part that refers to
// its own name through s\.
const ModelCase kModels[] = {
    {"car.ldr", "", ""},
    {"ldr_carriage_house_new.ldr",
     "Error: cannot find file 1-8ring56.dat\nError: cannot find file 1-12cylo.dat\n"
     "Error: cannot find file 1-6cyli.dat\n",
     "Error: @parts/3626bps5.dat line 70: unreadable statement, rest of file ignored\n"},
    {"ldr_heads_grid_new.ldr", "",
     "Error: @parts/3626bpao.dat line 99: unreadable statement, rest of file ignored\n"
     "Error: @parts/3626bp7a.dat line 184: unreadable statement, rest of file ignored\n"
     "Error: @parts/3626bpb5.dat line 29: unreadable statement, rest of file ignored\n"
     "Error: @parts/s/3626bps9s01.dat line 80: unreadable statement, rest of file ignored\n"
     "Error: @parts/s/3626bpsds01.dat line 30: unreadable statement, rest of file ignored\n"
     "Error: @parts/3626bps5.dat line 70: unreadable statement, rest of file ignored\n"},
    {"ldr_red_devil_racer_new.ldr", "", ""},
    {"ldr_salt_flats_speeder_new.ldr",
     "Error: cannot find file 1-4aring.dat\nError: cannot find file 4-4aring.dat\n",
     "Error: @parts/2421a.dat references 2421a.dat, which includes it; reference ignored\n"},
    {"ldr_small_shuttle_new.ldr",
     "Error: cannot find file 1-6ring13.dat\nError: cannot find file 1-6cyli.dat\n"
     "Error: cannot find file 1-12cyli.dat\nError: cannot find file 1-12edge.dat\n",
     ""},
    {"pyramid.ldr", "", ""},
    {"stress_big_parts.ldr", "", ""},
};

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

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

const ModelCase* FindCase(const std::string& model)
{
    for (const ModelCase& c : kModels)
        if (model == c.model)
            return &c;
    return nullptr;
}

TEST(LDrawReaderRealModels, ReadEverySharedModelAgainstTheSharedLibrary)
{
    const std::string shared = PLINTHEX_SHARED_DIR;
    if (!fs::is_directory(shared + "/ldraw") || !fs::is_directory(shared + "/models"))
        GTEST_SKIP() << "no shared LDraw library and models at " << shared;
    const std::string library = shared + "/ldraw";
    for (const fs::directory_entry& entry : fs::directory_iterator(shared + "/models"))
    {
        if (entry.path().extension() != ".ldr")
            continue;
        const std::string model = entry.path().filename().string();
        SCOPED_TRACE(model);
        const ModelCase* expected = FindCase(model);
        ASSERT_NE(expected, nullptr) << "a model without expected messages";

        std::ostringstream out;
        std::ostringstream err;
        std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
        std::streambuf* oldErr = std::cerr.rdbuf(err.rdbuf());
        LDrawReader reader;
        LegoPart part;
        const bool isRead = reader.Read(library, entry.path().string(), part);
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);

        ASSERT_TRUE(isRead);
        EXPECT_EQ(out.str(), expected->out);
        EXPECT_EQ(err.str(), ReplaceAll(expected->err, "@", library + "/"));
        EXPECT_EQ(part.Node(0).name, model);
        EXPECT_TRUE(IsAcyclic(part));
        // Every reference names the first node of its name, as FindNode finds it.
        for (unsigned i = 0; i < part.GetNodeCount(); ++i)
            for (const _LegoInstance& child : part.GetNode(i)->children)
                ASSERT_EQ(part.FindNode(part.Node(static_cast<unsigned>(child.node)).name.c_str()),
                          child.node);
    }
}

} // namespace
