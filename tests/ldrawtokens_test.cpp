#include "reader/ldrawtokens.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace
{

struct RealCase
{
    const char* token;
    bool isReadable;
};

void PrintTo(const RealCase& c, std::ostream* out)
{
    *out << '"' << c.token << '"';
}

class LDrawReaderTokens : public testing::TestWithParam<RealCase>
{
};

// Readable tokens must give exactly what stream extraction gives, to the bit
// (signed zeros and subnormals included).
TEST_P(LDrawReaderTokens, RealTokensReadAsStreamExtractionOrNotAtAll)
{
    const RealCase& c = GetParam();
    double value = 42.0;
    ASSERT_EQ(ParseLDrawReal(c.token, value), c.isReadable);
    if (!c.isReadable)
    {
        EXPECT_EQ(value, 42.0);  // left untouched
        return;
    }
    std::istringstream stream(c.token);
    double expected = 0.0;
    stream >> expected;
    EXPECT_EQ(std::memcmp(&value, &expected, sizeof value), 0) << value << " vs " << expected;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LDrawReaderTokens,
    testing::Values(RealCase{"0", true}, RealCase{"-12.5", true}, RealCase{"+7", true},
                    RealCase{".5", true}, RealCase{"5.", true}, RealCase{"-.25e+2", true},
                    RealCase{"1.e5", true}, RealCase{"2E-3", true}, RealCase{"-0", true},
                    RealCase{"0.1", true}, RealCase{"1e-400", true}, RealCase{"-1e-400", true},
                    RealCase{"4.9e-324", true}, RealCase{"2e-324", true}, RealCase{"1e-310", true},
                    RealCase{"1e-99999999999999999999", true},
                    RealCase{"1.7976931348623158e308", true}, RealCase{"0e99999", true},
                    RealCase{"1e400", false}, RealCase{"-1e99999999999999999999", false},
                    RealCase{"1.7976931348623159e308", false}, RealCase{"inf", false},
                    RealCase{"-nan", false}, RealCase{"infinity", false}, RealCase{"0x10", false},
                    RealCase{"1e", false}, RealCase{"1e+", false}, RealCase{".", false},
                    RealCase{"-", false}, RealCase{"+-1", false}, RealCase{"1.2.3", false},
                    RealCase{"12a", false}, RealCase{"e5", false}, RealCase{"1,5", false},
                    RealCase{"", false}),
    [](const testing::TestParamInfo<RealCase>& param)
    { return (param.param.isReadable ? "Readable" : "Unreadable") + std::to_string(param.index); });

// Plain decimals of every length around the shortcut's limits (15 digits,
// 22 after the point) read exactly as stream extraction reads them.
TEST(LDrawReaderTokensReal, PlainDecimalsOfEveryLengthMatchStreamExtraction)
{
    std::mt19937_64 random(17);
    for (int i = 0; i < 200000; ++i)
    {
        const int digitCount = 1 + static_cast<int>(random() % 24);
        const int pointAt = static_cast<int>(random() % (digitCount + 2)) - 1;  // -1: none
        std::string token = random() % 3 == 0 ? "-" : (random() % 7 == 0 ? "+" : "");
        for (int d = 0; d < digitCount; ++d)
        {
            if (d == pointAt)
                token += '.';
            token += static_cast<char>('0' + random() % 10);
        }
        if (pointAt == digitCount)
            token += '.';
        double value = 0.0;
        ASSERT_TRUE(ParseLDrawReal(token, value)) << token;
        std::istringstream stream(token);
        double expected = 0.0;
        stream >> expected;
        ASSERT_EQ(std::memcmp(&value, &expected, sizeof value), 0)
            << token << ": " << value << " vs " << expected;
    }
}

TEST(LDrawReaderTokensInt, WholeDecimalIntegersWithinIntRange)
{
    int value = 42;
    EXPECT_TRUE(ParseLDrawInt("+16", value));
    EXPECT_EQ(value, 16);
    EXPECT_TRUE(ParseLDrawInt("-2147483648", value));
    EXPECT_EQ(value, -2147483647 - 1);
    EXPECT_TRUE(ParseLDrawInt("0002147483647", value));
    EXPECT_EQ(value, 2147483647);
    value = 42;
    for (const char* bad : {"2147483648", "-2147483649", "0x2F05C00", "1.0", "1e2", "+", "-", "",
                            "+-1", "16a", "0//"})
        EXPECT_FALSE(ParseLDrawInt(bad, value)) << bad;
    EXPECT_EQ(value, 42);
}

TEST(LDrawReaderTokensColor, DecimalCodesAndDirectColours)
{
    int value = 42;
    EXPECT_TRUE(ParseLDrawColor("-16", value));
    EXPECT_EQ(value, -16);
    EXPECT_TRUE(ParseLDrawColor("0x2F05C00", value));
    EXPECT_EQ(value, 0x2F05C00);
    EXPECT_TRUE(ParseLDrawColor("0X3abcDEF", value));
    EXPECT_EQ(value, 0x3ABCDEF);
    EXPECT_TRUE(ParseLDrawColor("0x2000000", value));
    EXPECT_EQ(value, 0x2000000);
    value = 42;
    for (const char* bad :
         {"0x1F05C00", "0x4F05C00", "0x2F05C0", "0x2F05C000", "0x2F05C0G", "+0x2F05C00",
          "-0x2F05C00", "0x", "x2F05C00", "02F05C00x", "0x 2F05C00", "2147483648"})
        EXPECT_FALSE(ParseLDrawColor(bad, value)) << bad;
    EXPECT_EQ(value, 42);
}

// Tokens with the line each starts on; "<end N>" when the end is met on line N.
std::vector<std::string> Tokenize(const std::string& text, bool skipAfterZero = false,
                                  unsigned startLine = 1)
{
    LDrawTokenizer tokens(text, startLine);
    std::vector<std::string> out;
    std::string_view token;
    while (tokens.NextToken(token))
    {
        out.push_back(std::string(token) + "@" + std::to_string(tokens.Line()));
        if (skipAfterZero && token == "0")
            tokens.SkipRestOfLine();
    }
    out.push_back("<end " + std::to_string(tokens.Line()) + ">");
    return out;
}

using Tokens = std::vector<std::string>;

TEST(LDrawReaderTokenizer, SplitsOnWhiteSpaceAndCountsLineFeedsOnly)
{
    EXPECT_EQ(Tokenize("\xEF\xBB\xBF"
                       "3 1\t2\v\f4\r\n5\n\n  6"),
              (Tokens{"3@1", "1@1", "2@1", "4@1", "5@2", "6@4", "<end 4>"}));
    // A lone carriage return separates tokens but does not end a line.
    EXPECT_EQ(Tokenize("1\r2\r\n3"), (Tokens{"1@1", "2@1", "3@2", "<end 2>"}));
    // A byte-order mark counts only at the very start.
    EXPECT_EQ(Tokenize("1 \xEF\xBB\xBF"), (Tokens{"1@1", "\xEF\xBB\xBF@1", "<end 1>"}));
    // A final line feed closes the last line; blank lines after it are lines.
    EXPECT_EQ(Tokenize("1\n"), (Tokens{"1@1", "<end 1>"}));
    EXPECT_EQ(Tokenize("1\r\n\r\n"), (Tokens{"1@1", "<end 2>"}));
    EXPECT_EQ(Tokenize(""), (Tokens{"<end 1>"}));
    // Text cut from a larger file counts its lines from where it starts.
    EXPECT_EQ(Tokenize("0 FILE a\n3 4\n", true, 29), (Tokens{"0@29", "3@30", "4@30", "<end 30>"}));
    EXPECT_EQ(Tokenize("", false, 7), (Tokens{"<end 7>"}));
}

TEST(LDrawReaderTokenizer, RestOfLineEndsAtTheNextLineFeed)
{
    EXPECT_EQ(Tokenize("0 3 16 1 2 3\r\n4 0\n5", true),
              (Tokens{"0@1", "4@2", "0@2", "5@3", "<end 3>"}));
    // A lone carriage return does not end the skipped line.
    EXPECT_EQ(Tokenize("0 a\r2\n3", true), (Tokens{"0@1", "3@2", "<end 2>"}));
    EXPECT_EQ(Tokenize("0 no line feed", true), (Tokens{"0@1", "<end 1>"}));
}

TEST(LDrawReaderTokenizer, CarriageReturnsEndLinesOnlyInTextsWithoutLineFeeds)
{
    // Old Mac files: every carriage return ends a line, comments included.
    EXPECT_EQ(Tokenize("0 a comment 3 4\r3 1\r\r5\r", true),
              (Tokens{"0@1", "3@2", "1@2", "5@4", "<end 4>"}));
    // One line feed anywhere makes carriage returns plain white space again.
    EXPECT_EQ(Tokenize("0 a\r2\r3\n4", true), (Tokens{"0@1", "4@2", "<end 2>"}));
}

}  // namespace
