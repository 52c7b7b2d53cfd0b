#include <gtest/gtest.h>

#include "model/legopart.h"

namespace
{

struct Rgba
{
    double red, green, blue, alpha;
};

Rgba Lookup(int code, bool* known = nullptr)
{
    const LegoPart part;
    Rgba c{-1, -1, -1, 0.25};
    const bool result = part.LEGOColorRGBA(code, c.red, c.green, c.blue, c.alpha);
    if (known)
        *known = result;
    return c;
}

void ExpectRgba(int code, double red, double green, double blue, double alpha)
{
    const Rgba c = Lookup(code);
    EXPECT_EQ(c.red, red) << code;
    EXPECT_EQ(c.green, green) << code;
    EXPECT_EQ(c.blue, blue) << code;
    EXPECT_EQ(c.alpha, alpha) << code;
}

TEST(ColorTable, InheritedCodesAreMagentaAndLeaveAlphaAlone)
{
    for (const int code : {16, 24})
    {
        bool known = true;
        const Rgba c = Lookup(code, &known);
        EXPECT_FALSE(known);
        EXPECT_EQ(c.red, 1.0);
        EXPECT_EQ(c.green, 0.0);
        EXPECT_EQ(c.blue, 1.0);
        EXPECT_EQ(c.alpha, 0.25);
    }
    bool known = false;
    Lookup(4, &known);
    EXPECT_TRUE(known);
}

TEST(ColorTable, BaseTransparentAndExtraCodes)
{
    ExpectRgba(4, 0.796875, 0, 0, 1);
    ExpectRgba(1, 0, 0.19921875, 0.6953125, 1);
    ExpectRgba(36, 0.796875, 0, 0, 0.5);
    ExpectRgba(47, 1, 1, 1, 0.5);
    ExpectRgba(57, 1, 0.3984375, 0, 0.5);
    ExpectRgba(0, 0, 0, 0, 1);
}

TEST(ColorTable, DitheredMixturesAverageTheirTwoColours)
{
    ExpectRgba(276, 0.3984375, 0.099609375, 0.34765625, 1);
    ExpectRgba(256, 0, 0, 0, 1);
    ExpectRgba(511, 1, 1, 1, 1);
}

TEST(ColorTable, OtherCodesTakeTheirLowFourBits)
{
    for (const int code : {20, 100, 52, 516, 1000004})
        ExpectRgba(code, 0.796875, 0, 0, 1);
    ExpectRgba(-1, 1, 1, 1, 1);
    ExpectRgba(-2147483647 - 1, 0, 0, 0, 1);
}

// 0x2RRGGBB is opaque, 0x3RRGGBB half transparent; each channel over 255.
TEST(ColorTable, DirectColoursTakeTheirOwnChannels)
{
    ExpectRgba(0x2F05C00, 240 / 255.0, 92 / 255.0, 0, 1);
    ExpectRgba(0x3F05C00, 240 / 255.0, 92 / 255.0, 0, 0.5);
    ExpectRgba(0x2000000, 0, 0, 0, 1);
    ExpectRgba(0x3FFFFFF, 1, 1, 1, 0.5);
    // Just outside: the low four bits, as before.
    ExpectRgba(0x1FFFFFF, 1, 1, 1, 1);
    ExpectRgba(0x4000004, 0.796875, 0, 0, 1);
    const LegoPart part;
    for (const int code : {0x2000000, 0x2F05C00, 0x3FFFFFF})
        EXPECT_EQ(part.ComplementaryColor(code), 1) << code;
}

TEST(ColorTable, ComplementaryColours)
{
    const LegoPart part;
    const int cases[][2] = {{0, 8},   {8, 0},     {15, 7},   {16, 16}, {24, 16},   {32, 40},
                            {47, 39}, {36, 44},   {17, 41},  {25, 33}, {276, 412}, {511, 375},
                            {512, 1}, {100, 508}, {57, 449}, {-1, 7}};
    for (const auto& c : cases)
        EXPECT_EQ(part.ComplementaryColor(c[0]), c[1]) << c[0];
    EXPECT_EQ(part.ComplementaryColor(-2147483647 - 1), 8);
}

// A definition replaces the built-in rules for its code alone.
TEST(ColorTable, DefinedCodesTakeTheirDefinition)
{
    LegoPart part;
    ColorTable& table = part.Colours();
    EXPECT_TRUE(table.Define(25, 254, 138, 24, 128, 0x2333333, ColourFinish::Pearlescent));
    EXPECT_FALSE(table.Define(16, 1, 2, 3, 255, 0));
    double r = 0, g = 0, b = 0, a = 0;
    EXPECT_TRUE(part.LEGOColorRGBA(25, r, g, b, a));
    EXPECT_EQ(r, 254 / 255.0);
    EXPECT_EQ(g, 138 / 255.0);
    EXPECT_EQ(b, 24 / 255.0);
    EXPECT_EQ(a, 128 / 255.0);
    EXPECT_EQ(part.ComplementaryColor(25), 0x2333333);
    EXPECT_FALSE(part.LEGOColorRGBA(16, r, g, b, a));
    EXPECT_EQ(part.ComplementaryColor(9), 1);
    const ColourDescription d = table.Describe(25);
    EXPECT_TRUE(d.isDefined);
    EXPECT_EQ(d.finish, ColourFinish::Pearlescent);
    EXPECT_EQ(d.name, "Colour_25");
    EXPECT_EQ(table.Describe(4).name, "Red");
    EXPECT_EQ(table.Describe(4).edge, 12);
}

}  // namespace
