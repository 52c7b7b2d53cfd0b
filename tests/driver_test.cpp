#include "app/driver.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "app/options.h"

namespace
{

CommandLine Parse(std::vector<const char*> arguments, const char* ldrawDirVariable)
{
    arguments.insert(arguments.begin(), "plinthex");
    return ParseCommandLine(static_cast<int>(arguments.size()), arguments.data(), ldrawDirVariable);
}

TEST(CommandLineChoice, TooFewArgumentsShowTheUsage)
{
    CommandLine command = Parse({}, nullptr);
    EXPECT_TRUE(command.showUsage);
    EXPECT_EQ(command.usageStatus, 1);
    command = Parse({"house.ldr"}, nullptr);
    EXPECT_TRUE(command.showUsage);
    EXPECT_EQ(command.usageStatus, 1);
    // With a library known, asking for nothing is not an error.
    command = Parse({}, "/lib");
    EXPECT_TRUE(command.showUsage);
    EXPECT_EQ(command.usageStatus, 0);
}

TEST(CommandLineChoice, TheNumberOfArgumentsDecidesWhichIsWhich)
{
    struct Case
    {
        std::vector<const char*> arguments;
        const char* variable;
        const char* ldrawDir;
        const char* model;
        const char* output;
    };
    const Case cases[] = {
        {{"models/house.ldr"}, "/env", "/env", "models/house.ldr", "house.txt"},
        {{"/lib", "house.ldr"}, nullptr, "/lib", "house.ldr", "house.txt"},
        {{"/lib", "house.ldr"}, "/env", "/lib", "house.ldr", "house.txt"},
        // A model and an output name read as library and model.
        {{"house.ldr", "out.txt"}, "/env", "house.ldr", "out.txt", "out.txt"},
        {{"/lib", "house.ldr", "scenes/out.scene"},
         nullptr,
         "/lib",
         "house.ldr",
         "scenes/out.scene"},
        {{"/lib", "house.ldr", "out", "ignored"}, "/env", "/lib", "house.ldr", "out"},
        // An empty LDRAWDIR is still set.
        {{"house.ldr"}, "", "", "house.ldr", "house.txt"},
    };
    for (const Case& c : cases)
    {
        const CommandLine command = Parse(c.arguments, c.variable);
        EXPECT_FALSE(command.showUsage) << c.model;
        EXPECT_EQ(command.ldrawDir, c.ldrawDir);
        EXPECT_EQ(command.modelPath, c.model);
        EXPECT_EQ(command.outputPath, c.output);
    }
}

TEST(CommandLineChoice, OutputNamesComeFromTheModelsBaseName)
{
    EXPECT_EQ(OutputNameFor("house.ldr"), "house.txt");
    EXPECT_EQ(OutputNameFor("models\\car.old.ldr"), "car.txt");
    EXPECT_EQ(OutputNameFor("/home/me/models/car.old.ldr"), "car.txt");
    EXPECT_EQ(OutputNameFor("a.b/c\\d/house.mpd"), "house.txt");
    EXPECT_EQ(OutputNameFor("models.v2/house"), "house");
    EXPECT_EQ(OutputNameFor("house"), "house");
    EXPECT_EQ(OutputNameFor(".hidden.ldr"), ".txt");
    EXPECT_EQ(OutputNameFor("house."), "house.txt");
}

}  // namespace

namespace
{

ParsedOptions Options(std::vector<const char*> arguments, ConversionRequest& request)
{
    arguments.insert(arguments.begin(), "plinthex");
    return ParseOptions(static_cast<int>(arguments.size()), arguments.data(), request);
}

}  // namespace

TEST(CommandLineOptions, AreTakenOutAnywhereAndALoneDashDashEndsThem)
{
    ConversionRequest request;
    ParsedOptions parsed =
        Options({"--jobs=3", "lib", "--skip-missing", "m.ldr", "--", "--out.txt"}, request);
    EXPECT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.positional, (std::vector<std::string>{"lib", "m.ldr", "--out.txt"}));
    EXPECT_EQ(request.jobs, 3u);
    EXPECT_TRUE(request.skipMissing);
    EXPECT_TRUE(request.keepListings);
    EXPECT_EQ(Options({"--no-cache", "a"}, request).error, "");
    EXPECT_FALSE(request.keepListings);

    request = ConversionRequest();
    parsed = Options({"--colors=ldconfig", "--format=glb", "--preview-size=64x48", "a"}, request);
    EXPECT_EQ(parsed.error, "");
    EXPECT_EQ(request.colourSource, "ldconfig");
    EXPECT_EQ(request.format, OutputFormat::Glb);
    EXPECT_TRUE(parsed.formatGiven);
    EXPECT_EQ(request.previewWidth, 64u);
    EXPECT_EQ(request.previewHeight, 48u);
}

TEST(CommandLineOptions, UnknownOptionsAndBadValuesAreNamed)
{
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"--jobs=0"}, "--jobs needs a whole number from 1 to 1024, not '0'"},
        {{"--jobs"}, "--jobs needs a value: --jobs=N"},
        {{"--help=yes"}, "--help takes no value"},
        {{"--format=obj"}, "--format needs triset or glb, not 'obj'"},
        {{"--max-triangles=12x"}, "--max-triangles needs a whole number of at least 1, not '12x'"},
        {{"--preview-size=10"},
         "--preview-size needs WIDTHxHEIGHT, each from 1 to 16384, not '10'"},
    };
    for (const auto& [arguments, error] : cases)
    {
        ConversionRequest request;
        EXPECT_EQ(Options(arguments, request).error, error);
    }
}
