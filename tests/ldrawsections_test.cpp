#include "reader/ldrawsections.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

// Each section as "name@firstLine:text".
std::vector<std::string> Sections(const std::string& text)
{
    std::vector<std::string> out;
    for (const LDrawSection& section : FindLDrawSections(text))
        out.push_back(section.name + "@" + std::to_string(section.firstLine) + ":" +
                      text.substr(section.begin, section.end - section.begin));
    return out;
}

using Strings = std::vector<std::string>;

TEST(LDrawSections, SplitAtFileAndNoFileLines)
{
    const std::string text =
        "0 Title\n"
        "1 4 0 0 0 1 0 0 0 1 0 0 0 1 b.ldr\n"
        "0 FILE main.ldr\n"
        "3 16 0 0 0 1 0 0 0 1 0\n"
        "0 NOFILE\n"
        "3 16 0 0 0 1 0 0 0 1 0\n"
        "0 FILE  Sub Dir\\\\My Part.ldr \t\r\n"
        "4 16\n"
        "0 FILE c.ldr";
    // Lines before the first FILE line belong to the first section; lines
    // after a NOFILE line belong to none.
    EXPECT_EQ(Sections(text),
              (Strings{"main.ldr@1:0 Title\n1 4 0 0 0 1 0 0 0 1 0 0 0 1 b.ldr\n0 FILE "
                       "main.ldr\n3 16 0 0 0 1 0 0 0 1 0\n",
                       "My Part.ldr@7:0 FILE  Sub Dir\\\\My Part.ldr \t\r\n4 16\n",
                       "c.ldr@9:0 FILE c.ldr"}));
}

TEST(LDrawSections, OnlyExactlyZeroAndFileStartASection)
{
    EXPECT_TRUE(FindLDrawSections("0 file a.ldr\n00 FILE b\n+0 FILE c\n0 FILES d\n0FILE e\n"
                                  "1 0 FILE f\n0 !FILE g\n0 NOFILE\n0\n")
                    .empty());
    EXPECT_TRUE(FindLDrawSections("").empty());
    // White space of any kind between the tokens; the byte-order mark is no
    // part of the first token; an empty name is a name.
    EXPECT_EQ(
        Sections("\xEF\xBB\xBF 0\tFILE\x0B x.ldr\f\n0 FILE\n0 FILE /\n"),
        (Strings{"x.ldr@1:\xEF\xBB\xBF 0\tFILE\x0B x.ldr\f\n", "@2:0 FILE\n", "@3:0 FILE /\n"}));
    // A NOFILE line before any FILE line changes nothing.
    EXPECT_EQ(Sections("0 NOFILE\n0 FILE a\n0 NOFILE x\n0 FILE b\n"),
              (Strings{"a@1:0 NOFILE\n0 FILE a\n", "b@4:0 FILE b\n"}));
}

}  // namespace
