#include "reader/ldrawtokens.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace
{

// Space, tab, line feed, carriage return, vertical tab and form feed.
struct WhiteSpaceTable
{
    bool isWhiteSpace[256] = {};
    constexpr WhiteSpaceTable()
    {
        for (const char c : {' ', '\t', '\n', '\r', '\v', '\f'})
            isWhiteSpace[static_cast<unsigned char>(c)] = true;
    }
};
constexpr WhiteSpaceTable kWhiteSpace;

bool IsWhiteSpace(char c)
{
    return kWhiteSpace.isWhiteSpace[static_cast<unsigned char>(c)];
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Exponents beyond this only decide between zero and overflow, which the
// clamped value still does.
constexpr long kExponentClamp = 1000000000;

}  // namespace

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

LDrawTokenizer::LDrawTokenizer(std::string_view text, unsigned startLine)
    : begin(text.data()),
      cursor(text.data()),
      end(text.data() + text.size()),
      firstLine(startLine),
      line(startLine)
{
    if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        cursor += 3;
    if (text.find('\n') == std::string_view::npos && text.find('\r') != std::string_view::npos)
        lineEnd = '\r';
}

bool LDrawTokenizer::NextToken(std::string_view& token)
{
    while (cursor != end && IsWhiteSpace(*cursor))
    {
        if (*cursor == lineEnd)
            ++line;
        ++cursor;
    }
    if (cursor == end)
    {
        isAtEnd = true;
        return false;
    }
    const char* start = cursor;
    while (cursor != end && !IsWhiteSpace(*cursor))
        ++cursor;
    token = std::string_view(start, static_cast<std::size_t>(cursor - start));
    return true;
}

void LDrawTokenizer::SkipRestOfLine()
{
    const void* lineFeed = std::memchr(cursor, lineEnd, static_cast<std::size_t>(end - cursor));
    if (lineFeed == nullptr)
    {
        cursor = end;
        return;
    }
    cursor = static_cast<const char*>(lineFeed) + 1;
    ++line;
}

std::string_view LDrawTokenizer::TakeRestOfLine()
{
    const char* start = cursor;
    SkipRestOfLine();
    const char* stop = cursor;
    if (stop != start && stop[-1] == lineEnd)
        --stop;
    return std::string_view(start, static_cast<std::size_t>(stop - start));
}

unsigned LDrawTokenizer::Line() const
{
    if (isAtEnd && line > firstLine && end != begin && end[-1] == lineEnd)
        return line - 1;
    return line;
}

bool ParseLDrawInt(std::string_view token, int& value)
{
    std::size_t i = 0;
    if (i < token.size() && (token[i] == '+' || token[i] == '-'))
        ++i;
    if (i == token.size())
        return false;
    for (std::size_t k = i; k < token.size(); ++k)
        if (!IsDigit(token[k]))
            return false;
    // from_chars takes a '-' but not a '+'.
    if (token[0] == '+')
        token.remove_prefix(1);
    int parsed = 0;
    const auto result = std::from_chars(token.data(), token.data() + token.size(), parsed);
    if (result.ec != std::errc() || result.ptr != token.data() + token.size())
        return false;
    value = parsed;
    return true;
}

bool ParseLDrawColor(std::string_view token, int& value)
{
    if (ParseLDrawInt(token, value))
        return true;
    // LDraw's direct colours: 0x2RRGGBB opaque, 0x3RRGGBB half transparent.
    if (token.size() != 9 || token[0] != '0' || (token[1] != 'x' && token[1] != 'X') ||
        (token[2] != '2' && token[2] != '3'))
        return false;
    int parsed = 0;
    for (std::size_t i = 2; i < token.size(); ++i)
    {
        const int digit = HexDigitValue(token[i]);
        if (digit < 0)
            return false;
        parsed = parsed * 16 + digit;
    }
    value = parsed;
    return true;
}

namespace
{

// Plain decimals such as -12.5 or 0.707107, the bulk of every LDraw file: at
// most 15 significant digits and 22 after the point, no exponent. The digits
// as an integer and the power of ten are then both exact doubles, and their
// quotient is correctly rounded, as from_chars rounds. False, with nothing
// read, for every other token.
bool ParsePlainDecimal(std::string_view token, double& value)
{
    const char* p = token.data();
    const char* const end = p + token.size();
    const bool isNegative = p != end && *p == '-';
    if (p != end && (*p == '-' || *p == '+'))
        ++p;
    std::uint64_t digits = 0;
    int digitCount = 0;
    int fractionCount = 0;
    for (; p != end && IsDigit(*p); ++p, ++digitCount)
        digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
    if (p != end && *p == '.')
    {
        for (++p; p != end && IsDigit(*p); ++p, ++digitCount, ++fractionCount)
            digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    if (p != end || digitCount == 0 || digitCount > 15 || fractionCount > 22)
        return false;
    static const double kPowersOfTen[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const double magnitude = static_cast<double>(digits) / kPowersOfTen[fractionCount];
    value = isNegative ? -magnitude : magnitude;
    return true;
}

}  // namespace

bool ParseLDrawReal(std::string_view token, double& value)
{
    if (ParsePlainDecimal(token, value))
        return true;
    std::size_t i = 0;
    const bool isNegative = i < token.size() && token[i] == '-';
    if (i < token.size() && (token[i] == '+' || token[i] == '-'))
        ++i;

    // Mantissa, noting the decimal exponent of its leading non-zero digit so
    // that an out-of-range result can be told apart: below 1 it underflowed.
    std::size_t digitCount = 0;
    long leadingExponent = 0;
    bool isZero = true;
    long integerDigitsAfterLead = 0;
    for (; i < token.size() && IsDigit(token[i]); ++i, ++digitCount)
    {
        if (!isZero)
            ++integerDigitsAfterLead;
        else if (token[i] != '0')
            isZero = false;
    }
    if (!isZero)
        leadingExponent = integerDigitsAfterLead;
    if (i < token.size() && token[i] == '.')
    {
        ++i;
        long position = 0;
        for (; i < token.size() && IsDigit(token[i]); ++i, ++digitCount)
        {
            --position;
            if (isZero && token[i] != '0')
            {
                isZero = false;
                leadingExponent = position;
            }
        }
    }
    if (digitCount == 0)
        return false;

    long exponent = 0;
    if (i < token.size() && (token[i] == 'e' || token[i] == 'E'))
    {
        ++i;
        bool isExponentNegative = false;
        if (i < token.size() && (token[i] == '+' || token[i] == '-'))
            isExponentNegative = token[i++] == '-';
        if (i == token.size())
            return false;
        for (; i < token.size() && IsDigit(token[i]); ++i)
            if (exponent < kExponentClamp)
                exponent = exponent * 10 + (token[i] - '0');
        if (isExponentNegative)
            exponent = -exponent;
    }
    if (i != token.size())
        return false;

    if (token[0] == '+')
        token.remove_prefix(1);
    double parsed = 0.0;
    const auto result = std::from_chars(token.data(), token.data() + token.size(), parsed);
    if (result.ptr != token.data() + token.size())
        return false;
    // from_chars reports underflow to zero and overflow alike as out of range
    // (subnormal results come back as values): tell them apart by magnitude.
    if (result.ec == std::errc::result_out_of_range)
    {
        if (isZero || leadingExponent + exponent >= 0)
            return false;
        parsed = isNegative ? -0.0 : 0.0;
    }
    else if (result.ec != std::errc())
    {
        return false;
    }
    value = parsed;
    return true;
}
