// Inputs of extreme size or shape through the program as a process: they
// take seconds, not milliseconds, so CI's sanitizer run leaves them out
// (CTest label "heavy").

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "tests/plinthex_process.h"
#include "tests/temp_folder.h"

namespace
{

namespace fs = std::filesystem;
using plinthex_process::Invocation;
using plinthex_process::Result;
using plinthex_process::RunPlinthex;

using plinthex_process::kTriangle;
using plinthex_process::Ref;

class LargeInput : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // A memory-backed folder where there is one: thousands of files.
        std::error_code error;
        const std::string base = fs::is_directory("/dev/shm", error) ? "/dev/shm" : "/tmp";
        std::string pattern = base + "/plinthex-large-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        fs::create_directories(root + "/lib/parts");
        fs::create_directories(root + "/lib/p");
    }
    void TearDown() override
    {
        std::error_code error;
        fs::remove_all(root, error);
    }

    void Write(const std::string& relative, const std::string& text)
    {
        std::ofstream(root + "/" + relative, std::ios::binary) << text;
    }

    Result Convert(const std::string& output)
    {
        Invocation invocation;
        invocation.arguments = {"lib", "model.ldr", output};
        invocation.folder = root;
        return RunPlinthex(invocation);
    }

    std::string root;
};

bool Reports(const Result& result, const std::string& line)
{
    return result.out.find(line) != std::string::npos;
}

TEST_F(LargeInput, TenMegabyteLines)
{
    // One comment line of 10 MB, then a line with 10 MB after its statement.
    std::string text = "0 " + std::string(10 << 20, 'x') + "\n";
    text += "2 24 0 0 0 1 1 1 " + std::string(10 << 20, 'y') + "\n" + Ref("brick.dat");
    Write("model.ldr", text);
    Write("lib/parts/brick.dat", kTriangle);
    const Result result = Convert("/dev/null");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(Reports(result, "Meshes   : 2\n")) << result.out;
}

TEST_F(LargeInput, AChainOfAHundredThousandNestedFiles)
{
    constexpr int kDepth = 100000;
    for (int i = 0; i < kDepth; ++i)
        Write("lib/parts/c" + std::to_string(i) + ".dat",
              i + 1 < kDepth ? Ref("c" + std::to_string(i + 1) + ".dat") : kTriangle);
    Write("model.ldr", Ref("c0.dat"));
    Result result = Convert("model.txt");
    EXPECT_EQ(result.status, 0) << result.err;
    // The one triangle, merged up the whole chain into the part.
    EXPECT_TRUE(Reports(result, "Meshes   : 2\n")) << result.out;
    EXPECT_TRUE(fs::exists(root + "/model.txt"));

    // With a triangle in every file the merges copy 5 * 10^9 triangles:
    // refused before any of that work.
    for (int i = 0; i + 1 < kDepth; ++i)
        Write("lib/parts/c" + std::to_string(i) + ".dat",
              kTriangle + Ref("c" + std::to_string(i + 1) + ".dat"));
    result = Convert("refused.txt");
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err.rfind("Error: model.ldr would hold ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("; not converted\n"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(root + "/refused.txt"));
}

TEST_F(LargeInput, ASubFileReferencedAMillionTimes)
{
    Write("lib/p/stud.dat", kTriangle);
    std::string part;
    part.reserve(50u << 20);
    for (int i = 0; i < 1000000; ++i)
        part += "1 16 " + std::to_string(i % 1000) + " 0 " + std::to_string(i / 1000) +
                " 1 0 0 0 1 0 0 0 1 stud.dat\n";
    Write("lib/parts/plate.dat", part);
    Write("model.ldr", Ref("plate.dat"));
    const Result result = Convert("/dev/null");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(Reports(result, "Polygons : 1000012\n")) << result.out;
}

}  // namespace

// Real models give the same bytes, messages and statistics for one job and
// for four: each is converted twice into folders of its own.
TEST(EveryJobCount, GivesTheSameScene)
{
    const std::string shared = PLINTHEX_SHARED_DIR;
    if (!fs::is_directory(shared + "/ldraw") || !fs::is_directory(shared + "/models"))
        GTEST_SKIP() << "the shared LDraw library and models are not at " << shared;
    const std::vector<std::string> models = {"models/ldr_carriage_house_new.ldr",
                                             "models/ldr_carriage_house_new.mpd",
                                             "models/sets/6246 - Crocodile Cage.mpd"};
    for (const std::string& model : models)
    {
        SCOPED_TRACE(model);
        const TempFolder one;
        const TempFolder four;
        Invocation run;
        run.arguments = {"--jobs=1", shared + "/ldraw", shared + "/" + model, one / "scene.txt"};
        run.folder = one / ".";
        const Result a = RunPlinthex(run);
        run.arguments = {"--jobs=4", shared + "/ldraw", shared + "/" + model, four / "scene.txt"};
        run.folder = four / ".";
        const Result b = RunPlinthex(run);
        EXPECT_EQ(a.status, b.status);
        // The statistics; the lines before them name the output file.
        ASSERT_NE(a.out.find("Polygons"), std::string::npos) << a.out << a.err;
        EXPECT_EQ(a.out.substr(a.out.find("Polygons")), b.out.substr(b.out.find("Polygons")));
        EXPECT_EQ(a.err, b.err);
        const std::string sceneA = ReadFile(one / "scene.txt");
        EXPECT_TRUE(sceneA == ReadFile(four / "scene.txt")) << "scenes differ";
        EXPECT_GT(sceneA.size(), 1000000u);
    }
}
