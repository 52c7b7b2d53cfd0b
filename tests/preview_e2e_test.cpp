// The preview picture through the program as a process.

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

#include "tests/plinthex_process.h"
#include "tests/png_read.h"
#include "tests/temp_folder.h"

namespace
{

using plinthex_process::Invocation;
using plinthex_process::Result;
using plinthex_process::RunPlinthex;

const std::string kExamples = PLINTHEX_EXAMPLES_DIR;
const std::string kHouse = kExamples + "/house.ldr";

Result RunIn(const TempFolder& work, std::vector<std::string> arguments)
{
    Invocation invocation;
    invocation.arguments = std::move(arguments);
    invocation.folder = work.path;
    return RunPlinthex(invocation);
}

// The golden picture comes from scripts/regenerate_goldens.sh; small
// differences of rounding are allowed, nothing a person would see.
TEST(PreviewProcess, TheBundledHouseMatchesItsGoldenPictureForEveryJobNumber)
{
    const TempFolder work;
    const Result one = RunIn(work, {"--preview=one.png", "--preview-size=200x150", "--jobs=1",
                                    kExamples, kHouse, "house.txt"});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.err, "");
    EXPECT_NE(one.out.find("Writing file one.png\n"), std::string::npos);
    const Result two = RunIn(work, {"--preview=two.png", "--preview-size=200x150", "--jobs=2",
                                    kExamples, kHouse, "house.txt"});
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(ReadFile(work / "one.png"), ReadFile(work / "two.png"));

    const PngPicture golden = ReadPng(std::string(PLINTHEX_GOLDEN_DIR) + "/house.png");
    const PngPicture made = ReadPng(work / "one.png");
    ASSERT_EQ(made.width, 200u);
    ASSERT_EQ(made.height, 150u);
    ASSERT_EQ(golden.rgba.size(), made.rgba.size());
    std::size_t different = 0;
    for (std::size_t i = 0; i < made.rgba.size(); ++i)
        different += std::abs(int(made.rgba[i]) - int(golden.rgba[i])) > 12;
    EXPECT_LE(different, made.rgba.size() / 200) << "values that differ from the golden picture";
}

TEST(PreviewProcess, OneBrickOnNoBackgroundWithGlbOutput)
{
    const TempFolder work;
    std::ofstream(work / "brick.ldr") << "1 4 0 0 0 1 0 0 0 1 0 0 0 1 px2x2brick.dat\n";
    const Result result =
        RunIn(work, {"--preview=brick.png", "--preview-size=64x48", "--preview-background=none",
                     kExamples, work / "brick.ldr", "brick.glb"});
    ASSERT_EQ(result.status, 0) << result.err;
    const PngPicture picture = ReadPng(work / "brick.png");
    ASSERT_EQ(picture.rgba.size(), 64u * 48 * 4);
    auto at = [&](unsigned x, unsigned y) { return &picture.rgba[(y * 64 + x) * 4]; };
    for (const unsigned x : {0u, 63u})
        for (const unsigned y : {0u, 47u})
            EXPECT_EQ(at(x, y)[3], 0) << x << "," << y;
    const std::uint8_t* centre = at(32, 24);
    EXPECT_EQ(centre[3], 255);
    EXPECT_GT(centre[0], 100);  // red
    EXPECT_LT(centre[1], 40);
    EXPECT_LT(centre[2], 40);
    EXPECT_FALSE(ReadFile(work / "brick.glb").empty());

    // The glb is written from the scene the picture was drawn from: the same
    // bytes as a glb written alone.
    const Result both = RunIn(work, {"--preview=house.png", kExamples, kHouse, "both.glb"});
    const Result alone = RunIn(work, {kExamples, kHouse, "alone.glb"});
    ASSERT_EQ(both.status, 0) << both.err;
    ASSERT_EQ(alone.status, 0) << alone.err;
    EXPECT_EQ(ReadFile(work / "both.glb"), ReadFile(work / "alone.glb"));
    EXPECT_GT(ReadFile(work / "alone.glb").size(), 1000u);
}

TEST(PreviewProcess, AnUnwritablePictureFailsLikeAScene)
{
    const TempFolder work;
    const Result result =
        RunIn(work, {"--preview=missing/house.png", kExamples, kHouse, "house.txt"});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err.rfind("Error: Cannot open file missing/house.png for writing\n", 0), 0u)
        << result.err;
    // The scene is still written; nothing is left of the picture.
    EXPECT_FALSE(ReadFile(work / "house.txt").empty());
    EXPECT_EQ(work.List(), std::vector<std::string>{"house.txt"});

    const Result same = RunIn(work, {"--preview=house.txt", kExamples, kHouse, "house.txt"});
    EXPECT_EQ(same.status, 255);
    EXPECT_EQ(same.err, "Error: preview file house.txt is the output file, not written\n");
}

}  // namespace
