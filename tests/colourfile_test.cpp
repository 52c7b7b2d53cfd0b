#include "reader/colourfile.h"

#include <gtest/gtest.h>
#include <sstream>

#include "tests/temp_folder.h"

namespace
{

const std::string kShared = PLINTHEX_SHARED_DIR;

// Every keyword, a value of each spelling, bad lines, a code defined twice,
// lines that only look like definitions, CRLF line ends.
const char kColourFile[] =
    "0 Colours for a test\r\n"
    "0 !COLOUR Orange CODE 25 VALUE #D67923 EDGE #333333\r\n"
    "0 !COLOUR Glow LUMINANCE 15 ALPHA 250 EDGE 8 VALUE 0x2e0ffb0 CODE 21 PEARLESCENT\n"
    "0 !COLOUR Glitter CODE 117 VALUE #EEEEEE EDGE 0x2BABABA ALPHA 128 MATERIAL GLITTER "
    "VALUE #FFFFFF  FRACTION 0.08\n"
    "0 !COLOUR Short CODE 40 VALUE #12345 EDGE 0\n"
    "0 !COLOUR NoEdge CODE 41 VALUE #123456\n"
    "0 !COLOUR Opaque CODE 42 VALUE #000000 EDGE 0 ALPHA 256\n"
    "0 !COLOUR Typo CODE 43 VALUE #000000 EDGE 0 ALHPA 12\n"
    "0 !COLOUR Main_Colour CODE 16 VALUE #FFFF80 EDGE #333333\n"
    "1 !COLOUR NotMeta CODE 44 VALUE #000000 EDGE 0\n"
    "0 // !COLOUR Comment CODE 45 VALUE #000000 EDGE 0\n"
    "0 !COLOUR Orange CODE 25 VALUE #FF8000 EDGE 72 CHROME\n";

TEST(ColourFile, ReadsEveryKeywordAndReportsBadLines)
{
    ColorTable table;
    std::ostringstream err;
    EXPECT_EQ(ReadColourDefinitions(kColourFile, "c.ldr", table, err), 4u);
    EXPECT_EQ(err.str(),
              "Error: c.ldr line 5: VALUE '#12345' is not #RRGGBB or 0x2RRGGBB, colour ignored\n"
              "Error: c.ldr line 6: no EDGE, colour ignored\n"
              "Error: c.ldr line 7: ALPHA '256' is not 0 to 255, colour ignored\n"
              "Error: c.ldr line 8: unknown word 'ALHPA', colour ignored\n");
    EXPECT_EQ(table.DefinedCount(), 3u);

    const ColourDefinition* orange = table.Find(25);
    ASSERT_NE(orange, nullptr);
    EXPECT_EQ(orange->red, 255);
    EXPECT_EQ(orange->green, 128);
    EXPECT_EQ(orange->edge, 72);
    EXPECT_EQ(orange->finish, ColourFinish::Chrome);

    const ColourDefinition* glow = table.Find(21);
    ASSERT_NE(glow, nullptr);
    EXPECT_EQ(glow->name, "Glow");
    EXPECT_EQ(glow->red, 0xE0);
    EXPECT_EQ(glow->blue, 0xB0);
    EXPECT_EQ(glow->alpha, 250);
    EXPECT_EQ(glow->luminance, 15);
    EXPECT_EQ(glow->edge, 8);
    EXPECT_EQ(glow->finish, ColourFinish::Pearlescent);

    const ColourDefinition* glitter = table.Find(117);
    ASSERT_NE(glitter, nullptr);
    EXPECT_EQ(glitter->alpha, 128);
    EXPECT_EQ(glitter->edge, 0x2BABABA);
    EXPECT_EQ(glitter->finish, ColourFinish::Material);
    EXPECT_EQ(glitter->material, "GLITTER VALUE #FFFFFF FRACTION 0.08");

    for (const int code : {16, 40, 41, 42, 43, 44, 45})
        EXPECT_EQ(table.Find(code), nullptr) << code;
}

TEST(ColourFile, ModelDefinitionsComeFromEverySectionInFileOrder)
{
    const TempFolder folder;
    WriteTextFile(folder / "m.mpd",
                  "0 !COLOUR Before CODE 100 VALUE #010101 EDGE 0\n"
                  "0 FILE main.ldr\n"
                  "0 !COLOUR Mine CODE 101 VALUE #020202 EDGE 0\n"
                  "0 FILE sub.ldr\n"
                  "0 !COLOUR Mine CODE 101 VALUE #030303 EDGE 0\n"
                  "0 !COLOUR Bad CODE 102 EDGE 0\n"
                  "0 NOFILE\n"
                  "0 !COLOUR Outside CODE 103 VALUE #040404 EDGE 0\n");
    ColorTable table;
    std::ostringstream err;
    ReadModelColours(folder / "m.mpd", table, err);
    EXPECT_EQ(err.str(), "Error: " + (folder / "m.mpd") + " line 6: no VALUE, colour ignored\n");
    ASSERT_NE(table.Find(100), nullptr);
    ASSERT_NE(table.Find(101), nullptr);
    EXPECT_EQ(table.Find(101)->red, 3);
    EXPECT_EQ(table.Find(103), nullptr);
}

TEST(ColourFile, SourcesAndTheirFailures)
{
    const TempFolder library;
    WriteTextFile(library / "ldconfig.LDR", "0 !COLOUR Red CODE 4 VALUE #C91A09 EDGE #333333\n");
    EXPECT_TRUE(LibraryHasColourFile(library.path));
    ColorTable table;
    std::ostringstream err;
    EXPECT_TRUE(LoadColourSource("builtin", library.path, table, err));
    EXPECT_EQ(table.DefinedCount(), 0u);
    EXPECT_TRUE(LoadColourSource("ldconfig", library.path + "/", table, err));
    EXPECT_EQ(table.DefinedCount(), 1u);
    EXPECT_EQ(err.str(), "");

    const TempFolder empty;
    EXPECT_FALSE(LibraryHasColourFile(empty.path));
    for (const std::string& source : {std::string("ldconfig"), empty / "none.ldr", empty.path})
    {
        std::ostringstream failure;
        EXPECT_FALSE(LoadColourSource(source, empty.path, table, failure)) << source;
        EXPECT_EQ(failure.str().rfind("Error: ", 0), 0u) << failure.str();
        EXPECT_EQ(failure.str().find('\n'), failure.str().size() - 1) << failure.str();
    }
}

TEST(ColourFile, TheShippedTableReadsWithoutError)
{
    const std::string library = kShared + "/ldraw";
    if (!LibraryHasColourFile(library))
        GTEST_SKIP() << "no LDConfig.ldr in " << library;
    ColorTable table;
    std::ostringstream err;
    EXPECT_TRUE(LoadColourSource("ldconfig", library, table, err));
    EXPECT_EQ(err.str(), "");
    // 212 definitions; the inherited 16 and 24 are not taken.
    EXPECT_EQ(table.DefinedCount(), 210u);
}

}  // namespace
