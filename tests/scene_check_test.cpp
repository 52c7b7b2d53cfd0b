#include "tests/scene_check.h"

#include <functional>
#include <gtest/gtest.h>
#include <vector>

#include "tests/worked_example.h"

namespace
{

struct SceneLine
{
    unsigned tabs;
    std::string text;
};

using Scene = std::vector<SceneLine>;

std::string Join(const Scene& scene)
{
    std::string text;
    for (const SceneLine& line : scene)
        text += std::string(line.tabs, '\t') + line.text + "\n";
    return text;
}

// A wrapper LEVEL at depth 1 placing pair.dat by the identity.
Scene PairWrapper()
{
    return {{1, "Class = LEVEL {"},
            {2, "Name = pair.dat_wrapper"},
            {2, "END ATTRIB"},
            {2, "Class = INSTANCE {"},
            {3, "Name = instance of level pair.dat"},
            {3, "Matrix = 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1"},
            {3, "END ATTRIB"},
            {3, "SOURCE = LEVEL pair.dat"},
            {3, "} \\\\ end INSTANCE pair.dat"},
            {2, "} \\\\ end LEVEL pair.dat"}};
}

// A two-node tree written with bounding boxes shown: model.ldr places
// tri.dat, one triangle, in colour 4.
Scene WorkedExample()
{
    Scene scene;
    for (const auto& [tabs, text] : WorkedExampleLines())
        scene.push_back({tabs, text});
    return scene;
}

TEST(SceneCheck, AcceptsTheWorkedExampleAndCountsLikeTheStatistics)
{
    const Scene scene = WorkedExample();
    ASSERT_EQ(scene.size(), 48u);
    const SceneCheck check = CheckScene(Join(scene));
    ASSERT_TRUE(check.ok) << check.error;
    SceneCounts stats;
    ASSERT_TRUE(ParseStats("Polygons : 1\nVertices : 3\nMeshes   : 1\nInstances: 1\nLevels   : 2\n",
                           stats));
    EXPECT_TRUE(check.counts == stats);
    EXPECT_FALSE(ParseStats("Polygons : 1\nVertices : 3\nMeshes   : x\n", stats));

    // An empty tree writes the header alone.
    const SceneCheck empty = CheckScene("TRISETIO 1.0\n\n");
    EXPECT_TRUE(empty.ok) << empty.error;
    EXPECT_TRUE(empty.counts == SceneCounts());
}

TEST(SceneCheck, AcceptsWrappersWithColoursPartsPlacingPartsAndBoundingBoxes)
{
    Scene scene = WorkedExample();
    // A second part that places tri.dat, and a Bounding Boxes LEVEL after Parts.
    const Scene more = {{1, "Class = LEVEL {"},
                        {2, "Name = pair.dat"},
                        {2, "Color = 1 0.3984375 0 1"},
                        {2, "Transparency = 0.5 0.5 0.5 0.5"},
                        {2, "END ATTRIB"},
                        {2, "Class = INSTANCE {"},
                        {3, "Name = instance of level tri.dat"},
                        {3, "Matrix = 1 0 0 2.5 0 1 0 0 0 0 1 -1e-05 0 0 0 1"},
                        {3, "END ATTRIB"},
                        {3, "SOURCE = LEVEL tri.dat"},
                        {3, "} \\\\ end INSTANCE tri.dat"},
                        {2, "} \\\\ end LEVEL pair.dat"}};
    scene.insert(scene.end() - 1, more.begin(), more.end());
    const Scene boxes = {{0, "Class = LEVEL {"},
                         {1, "Name = Bounding Boxes"},
                         {1, "END ATTRIB"},
                         {1, "} \\\\ end LEVEL Bounding Boxes"}};
    const Scene wrapper = PairWrapper();
    scene.insert(scene.end(), boxes.begin(), boxes.end() - 1);
    scene.insert(scene.end(), wrapper.begin(), wrapper.end());
    scene.push_back(boxes.back());
    const SceneCheck check = CheckScene(Join(scene));
    ASSERT_TRUE(check.ok) << check.error;
    SceneCounts expected;
    expected.polygons = 1;
    expected.vertices = 3;
    expected.meshes = 1;
    expected.instances = 3;
    expected.levels = 4;
    EXPECT_TRUE(check.counts == expected);
}

// A part LEVEL named `name` placing `placed` twice.
Scene PairLevel(const std::string& name, const std::string& placed)
{
    Scene level = {{1, "Class = LEVEL {"}, {2, "Name = " + name}, {2, "END ATTRIB"}};
    for (int i = 0; i < 2; ++i)
        level.insert(level.end(), {{2, "Class = INSTANCE {"},
                                   {3, "Name = instance of level " + placed},
                                   {3, "Matrix = 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1"},
                                   {3, "END ATTRIB"},
                                   {3, "SOURCE = LEVEL " + placed},
                                   {3, "} \\\\ end INSTANCE " + placed}});
    level.push_back({2, "} \\\\ end LEVEL " + name});
    return level;
}

// The root's own faces, plus each placed LEVEL with all it places, once per
// placement: the measure that stays when the same model is grouped otherwise.
TEST(SceneCheck, CountsTheFacesTheRootPlaces)
{
    const Scene wrapper = PairWrapper();
    Scene scene = WorkedExample();
    EXPECT_EQ(CheckScene(Join(scene)).placedPolygons, 1u);
    scene.insert(scene.begin() + 17, wrapper.begin(), wrapper.end());  // into the root

    Scene placing = scene;
    const Scene pair = PairLevel("pair.dat", "tri.dat");
    placing.insert(placing.end() - 1, pair.begin(), pair.end());
    const SceneCheck check = CheckScene(Join(placing));
    ASSERT_TRUE(check.ok) << check.error;
    EXPECT_EQ(check.placedPolygons, 3u);

    // A LEVEL that places itself has no count.
    const Scene loop = PairLevel("pair.dat", "pair.dat");
    scene.insert(scene.end() - 1, loop.begin(), loop.end());
    const SceneCheck looping = CheckScene(Join(scene));
    EXPECT_FALSE(looping.ok);
    EXPECT_NE(looping.error.find("places itself"), std::string::npos) << looping.error;
}

struct Breakage
{
    const char* what;
    std::function<void(Scene&)> apply;
};

TEST(SceneCheck, RejectsBrokenScenes)
{
    const std::vector<Breakage> breakages = {
        {"PointCount above the list", [](Scene& s) { s[28].text = "PointCount = 4"; }},
        {"FaceCount above the list", [](Scene& s) { s[29].text = "FaceCount = 2"; }},
        {"a face index past the vertices", [](Scene& s) { s[36].text = "{ 0 1 3 }"; }},
        {"two normals for a face", [](Scene& s) { s.erase(s.begin() + 41); }},
        {"a vertex with a blank before its brace", [](Scene& s) { s[31].text = "{ 0 0 0 }"; }},
        {"a vertex of two numbers", [](Scene& s) { s[31].text = "{ 0 0}"; }},
        {"a missing tab", [](Scene& s) { s[12].tabs = 2; }},
        {"an extra tab on a closing line", [](Scene& s) { s[17].tabs = 2; }},
        {"a Matrix of fifteen numbers",
         [](Scene& s) { s[12].text = "Matrix = 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0"; }},
        {"a word in the Matrix",
         [](Scene& s) { s[12].text = "Matrix = 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 one"; }},
        {"a closing name that differs", [](Scene& s) { s[46].text = "} \\\\ end LEVEL tri"; }},
        {"a single backslash", [](Scene& s) { s[47].text = "} \\ end LEVEL Parts"; }},
        {"a SOURCE defined nowhere in Parts",
         [](Scene& s)
         {
             s[11].text = "Name = instance of level other.dat";
             s[14].text = "SOURCE = LEVEL other.dat";
             s[15].text = "} \\\\ end INSTANCE other.dat";
             s[16].text = "} \\\\ end LEVEL other.dat";
             s[7].text = "Name = other.dat_wrapper";
         }},
        {"a SOURCE that differs from the INSTANCE name",
         [](Scene& s) { s[14].text = "SOURCE = LEVEL model.ldr"; }},
        {"no Parts LEVEL", [](Scene& s) { s.resize(18); }},
        {"a stray top LEVEL after Parts",
         [](Scene& s)
         {
             s.push_back({0, "Class = LEVEL {"});
             s.push_back({1, "Name = Extra"});
             s.push_back({1, "END ATTRIB"});
             s.push_back({1, "} \\\\ end LEVEL Extra"});
         }},
        {"Transparency without Color", [](Scene& s) { s[8].text = "Transparency = 1 1 1 1"; }},
        {"a Color without its 1", [](Scene& s) { s[8].text = "Color = 0.796875 0 0"; }},
        {"an unclosed block", [](Scene& s) { s.pop_back(); }},
        {"a wrong header", [](Scene& s) { s[0].text = "TRISETIO 2.0"; }},
        {"a TRISET named after another LEVEL",
         [](Scene& s) { s[26].text = "Name = model.ldr triset"; }},
    };
    for (const Breakage& breakage : breakages)
    {
        Scene scene = WorkedExample();
        breakage.apply(scene);
        const SceneCheck check = CheckScene(Join(scene));
        EXPECT_FALSE(check.ok) << breakage.what;
        EXPECT_EQ(check.error.rfind("line ", 0), 0u) << breakage.what << ": " << check.error;
    }
    std::string unterminated = Join(WorkedExample());
    unterminated.pop_back();
    EXPECT_FALSE(CheckScene(unterminated).ok);
}

}  // namespace
