// The --colours option through the program as a process.

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#include "tests/plinthex_process.h"
#include "tests/temp_folder.h"

namespace
{

using plinthex_process::Invocation;
using plinthex_process::Ref;
using plinthex_process::Result;
using plinthex_process::RunPlinthex;

const std::string kLibrary = std::string(PLINTHEX_SHARED_DIR) + "/ldraw";

std::string Placed(int color, int x, const std::string& name)
{
    return "1 " + std::to_string(color) + " " + std::to_string(x) + " 0 0 1 0 0 0 1 0 0 0 1 " +
           name + "\n";
}

// A plate of the shared library in four LDConfig colours, and a sub-model
// that defines a colour of its own (300, a dithered code in the built-in
// table) and uses it.
const std::string kModel = "0 FILE main.ldr\n" + Placed(25, 0, "3024.dat") +
                           Placed(71, 40, "3024.dat") + Placed(72, 80, "3024.dat") +
                           Placed(36, 120, "3024.dat") + Ref("sub.ldr", 1) +
                           "0 FILE sub.ldr\n"
                           "0 !COLOUR Model_Teal CODE 300 VALUE #008080 EDGE 0 ALPHA 64\n" +
                           Placed(300, 160, "3024.dat");

// The Color line of channels given on the scale of 255, as the scene writes it.
std::string ColorLine(int red, int green, int blue)
{
    char text[128];
    std::snprintf(text, sizeof text, "Color = %.20g %.20g %.20g 1\n", red / 255.0, green / 255.0,
                  blue / 255.0);
    return text;
}

std::string TransparencyLine(int alpha)
{
    const double a = alpha / 255.0;
    char text[128];
    std::snprintf(text, sizeof text, "Transparency = %.20g %.20g %.20g %.20g\n", a, a, a, a);
    return text;
}

struct Converted
{
    Result result;
    std::string scene;
};

Converted Convert(const std::string& option)
{
    const TempFolder folder;
    WriteTextFile(folder / "model.mpd", kModel);
    Invocation invocation;
    if (!option.empty())
        invocation.arguments.push_back(option);
    invocation.arguments.insert(invocation.arguments.end(), {kLibrary, "model.mpd", "out.txt"});
    invocation.folder = folder.path;
    Converted converted{RunPlinthex(invocation), ReadFile(folder / "out.txt")};
    return converted;
}

TEST(ColoursOption, LibraryTableAndTheModelsOwnColours)
{
    if (!std::ifstream(kLibrary + "/LDConfig.ldr"))
        GTEST_SKIP() << "no LDConfig.ldr in " << kLibrary;
    const Converted ldconfig = Convert("--colours=ldconfig");
    ASSERT_EQ(ldconfig.result.status, 0) << ldconfig.result.err;
    EXPECT_EQ(ldconfig.result.err, "");
    const std::string& scene = ldconfig.scene;
    // Orange #D67923, Light_Bluish_Grey #969696, Dark_Bluish_Grey #646464,
    // Trans_Red #C91A09 ALPHA 128, and the model's #008080 ALPHA 64.
    EXPECT_NE(scene.find(ColorLine(214, 121, 35)), std::string::npos);
    EXPECT_NE(scene.find(ColorLine(150, 150, 150)), std::string::npos);
    EXPECT_NE(scene.find(ColorLine(100, 100, 100)), std::string::npos);
    EXPECT_NE(scene.find(ColorLine(201, 26, 9)), std::string::npos);
    EXPECT_NE(scene.find(TransparencyLine(128)), std::string::npos);
    EXPECT_NE(scene.find(ColorLine(0, 128, 128)), std::string::npos);
    EXPECT_NE(scene.find(TransparencyLine(64)), std::string::npos);

    // Without the option, or with builtin, the built-in table alone: the
    // model's own definition is not read, 25 is light blue.
    const Converted plain = Convert("");
    ASSERT_EQ(plain.result.status, 0) << plain.result.err;
    EXPECT_EQ(Convert("--colors=builtin").scene, plain.scene);
    EXPECT_NE(plain.scene.find("Color = 0 0.5 1 1\n"), std::string::npos);
    EXPECT_EQ(plain.scene.find(TransparencyLine(64)), std::string::npos);
}

TEST(ColoursOption, AMissingColourFileStopsBeforeReading)
{
    for (const char* option : {"--colours=missing.ldr", "--colors=."})
    {
        const Converted converted = Convert(option);
        EXPECT_EQ(converted.result.status, 2) << option;
        EXPECT_EQ(converted.result.out, "") << option;
        EXPECT_EQ(converted.result.err.rfind("Error: cannot read colour file ", 0), 0u)
            << converted.result.err;
        EXPECT_EQ(converted.result.err.find('\n'), converted.result.err.size() - 1);
        EXPECT_EQ(converted.scene, "");
    }
}

}  // namespace
