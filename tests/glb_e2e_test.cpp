// glb files as real clients read them: the Khronos glTF Validator and
// three.js's GLTFLoader (tests/check_glb.mjs under Node.js, installed from
// tests/package.json by scripts/setup.sh). Without them the tests skip.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/plinthex_process.h"
#include "tests/scene_check.h"

namespace
{

using plinthex_process::Invocation;
using plinthex_process::Result;
using plinthex_process::RunPlinthex;

const std::string kShared = PLINTHEX_SHARED_DIR;
const std::string kTests = PLINTHEX_TESTS_DIR;
const std::string kExamples = PLINTHEX_EXAMPLES_DIR;

std::string Quoted(const std::string& text)
{
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Why the clients cannot run here; empty when they can.
std::string MissingClients()
{
    if (std::system("node --version > /dev/null 2>&1") != 0)
        return "node is not installed";
    for (const char* package : {"gltf-validator", "three"})
        if (access((kTests + "/node_modules/" + package + "/package.json").c_str(), R_OK) != 0)
            return std::string("npm package ") + package +
                   " is not installed (scripts/setup.sh runs npm ci in tests/)";
    return "";
}

// The clients' one line on the file, with their messages.
std::string CheckGlb(const std::string& path)
{
    const std::string command =
        "node " + Quoted(kTests + "/check_glb.mjs") + " " + Quoted(path) + " 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return "cannot run node";
    char buffer[4096];
    std::size_t length;
    while ((length = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, length);
    const int status = pclose(pipe);
    return status == 0 ? output : output + "(node failed)";
}

// The number after "Placed   : " in the report; 0 when there is none.
std::uint64_t PlacedOf(const std::string& report)
{
    const std::size_t at = report.find("Placed   : ");
    return at == std::string::npos ? 0 : std::stoull(report.substr(at + 11));
}

// Converts `model` to glb; the clients read it without a complaint and count
// as many triangles as the scene file places: `placed`, or when that is 0,
// what a conversion to a scene file gives (skipped when there is none).
void ExpectClientsAgree(const std::string& library, const std::string& model, std::uint64_t placed,
                        const std::vector<std::string>& options = {})
{
    const std::string missing = MissingClients();
    if (!missing.empty())
        GTEST_SKIP() << missing;
    if (access(model.c_str(), R_OK) != 0 || access(library.c_str(), R_OK) != 0)
        GTEST_SKIP() << "the model or its library is not at " << model;
    const TempFolder work;
    Invocation invocation;
    invocation.folder = work.path;
    if (placed == 0)
    {
        invocation.arguments = options;
        invocation.arguments.insert(invocation.arguments.end(), {library, model, "model.txt"});
        const Result scene = RunPlinthex(invocation);
        if (scene.status != 0)
            GTEST_SKIP() << "no scene file to compare with: " << scene.err;
        const SceneCheck check = CheckScene(ReadFile(work / "model.txt"));
        ASSERT_TRUE(check.ok) << check.error;
        placed = check.placedPolygons;
    }
    invocation.arguments = options;
    invocation.arguments.insert(invocation.arguments.end(), {library, model, "model.glb"});
    const Result glb = RunPlinthex(invocation);
    ASSERT_EQ(glb.status, 0) << glb.err;
    const std::string expected = "errors=0 warnings=0 triangles=" + std::to_string(placed) + "\n";
    EXPECT_EQ(CheckGlb(work / "model.glb"), expected);
    EXPECT_EQ(PlacedOf(glb.out), placed);
}

struct ModelCase
{
    const char* model;
    std::uint64_t placed;  // triangles the scene file places (tests/plinthex_e2e_test.cpp)
};

const char* ModelOf(const ModelCase& param)
{
    return param.model;
}
const char* ModelOf(const char* param)
{
    return param;
}

class SharedGlb : public ::testing::TestWithParam<ModelCase>
{
};

TEST_P(SharedGlb, IsValidAndPlacesTheSceneTriangles)
{
    ExpectClientsAgree(kShared + "/ldraw", kShared + "/models/" + GetParam().model,
                       GetParam().placed);
}

template <typename Case>
std::string TestName(const ::testing::TestParamInfo<Case>& param)
{
    std::string name = ModelOf(param.param);
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Models, SharedGlb,
                         ::testing::Values(ModelCase{"car.ldr", 23853},
                                           ModelCase{"pyramid.ldr", 8716},
                                           ModelCase{"ldr_carriage_house_new.ldr", 1079845},
                                           ModelCase{"ldr_carriage_house_new.mpd", 1079845},
                                           ModelCase{"ldr_heads_grid_new.ldr", 287276},
                                           ModelCase{"ldr_heads_grid_new.mpd", 287276},
                                           ModelCase{"ldr_red_devil_racer_new.ldr", 91394},
                                           ModelCase{"ldr_red_devil_racer_new.mpd", 91394},
                                           ModelCase{"ldr_salt_flats_speeder_new.ldr", 56771},
                                           ModelCase{"ldr_salt_flats_speeder_new.mpd", 56771},
                                           ModelCase{"ldr_small_shuttle_new.ldr", 124490},
                                           ModelCase{"ldr_small_shuttle_new.mpd", 124490},
                                           ModelCase{"stress_big_parts.ldr", 257619}),
                         TestName<ModelCase>);

TEST(BundledGlb, IsValidAndPlacesTheSceneTriangles)
{
    ExpectClientsAgree(kExamples, kExamples + "/house.ldr", 0);
}

// The house's glb byte for byte (scripts/regenerate_goldens.sh writes it):
// the chunks' layout and the order of the arrays are pinned, one job and
// four alike.
TEST(BundledGlb, IsTheGoldenFileByteForByte)
{
    const std::string golden = ReadFile(std::string(PLINTHEX_GOLDEN_DIR) + "/house.glb");
    ASSERT_FALSE(golden.empty());
    for (const char* jobs : {"--jobs=1", "--jobs=4"})
    {
        const TempFolder work;
        Invocation invocation;
        invocation.folder = work.path;
        invocation.arguments = {jobs, kExamples, kExamples + "/house.ldr", "house.glb"};
        const Result glb = RunPlinthex(invocation);
        ASSERT_EQ(glb.status, 0) << glb.err;
        EXPECT_TRUE(ReadFile(work / "house.glb") == golden) << jobs;
    }
}

// A part of one triangle has three 16-bit indices, six bytes: the binary
// chunk ends with two bytes of zeros that keep it a multiple of four.
TEST(BundledGlb, OddIndexBytesArePaddedWithZeros)
{
    const TempFolder work;
    std::filesystem::create_directories(work / "lib/parts");
    std::filesystem::create_directories(work / "lib/p");
    WriteTextFile(work / "lib/parts/tri.dat", "3 16 0 0 0 10 0 0 0 0 10\n");
    WriteTextFile(work / "model.ldr", "1 4 0 0 0 1 0 0 0 1 0 0 0 1 tri.dat\n");
    Invocation invocation;
    invocation.folder = work.path;
    invocation.arguments = {work / "lib", "model.ldr", "model.glb"};
    const Result glb = RunPlinthex(invocation);
    ASSERT_EQ(glb.status, 0) << glb.err;
    const std::string bytes = ReadFile(work / "model.glb");
    ASSERT_GE(bytes.size(), 28u);
    const auto word = [&](std::size_t at)
    {
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = (value << 8) | static_cast<unsigned char>(bytes[at + std::size_t(i)]);
        return value;
    };
    const std::size_t binAt = 20 + word(12);
    ASSERT_EQ(binAt + 8 + word(binAt), bytes.size());
    // Three vertices of position and normal, then the indices and padding.
    EXPECT_EQ(word(binAt), 3u * 24u + 8u);
    EXPECT_EQ(bytes.substr(bytes.size() - 2), std::string(2, '\0'));
}

// The set models: seconds each, labelled heavy.
class SetGlb : public ::testing::TestWithParam<const char*>
{
};

TEST_P(SetGlb, IsValidAndPlacesTheSceneTriangles)
{
    // Treasure Chest places a part no library holds.
    ExpectClientsAgree(kShared + "/ldraw", kShared + "/models/sets/" + GetParam(), 0,
                       {"--skip-missing"});
}

INSTANTIATE_TEST_SUITE_P(
    Sets, SetGlb,
    ::testing::Values("10143-1 - Death Star II.mpd", "10156-1 - LEGO Truck.mpd",
                      "10179-1 - Millennium Falcon - UCS.mpd", "1788 - Treasure Chest.mpd",
                      "21303 - WALLE.mpd", "6246 - Crocodile Cage.mpd",
                      "6285 - Black Seas Barracuda.mpd", "75144 - Snowspeeder.mpd"),
    TestName<const char*>);

}  // namespace
