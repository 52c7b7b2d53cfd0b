#include "app/driver.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

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
