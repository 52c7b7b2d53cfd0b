#include "output/numberformat.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <string>

namespace
{

std::string Printf(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.20g", value);
    return text;
}

std::string Format(double value)
{
    char text[kMaxRealText];
    return std::string(text, format_real(text, value));
}

double FromBits(std::uint64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Compares with printf and stops after a few mismatches, naming the bits.
class Checker
{
public:
    void operator()(double value)
    {
        const std::string expected = Printf(value);
        const std::string actual = Format(value);
        if (actual != expected && ++failures <= 5)
        {
            std::uint64_t bits;
            std::memcpy(&bits, &value, sizeof bits);
            ADD_FAILURE() << "bits 0x" << std::hex << bits << ": printf " << expected << ", got "
                          << actual;
        }
        ++checked;
    }
    int failures = 0;
    long checked = 0;
};

TEST(RealFormat, SpecialValuesAsPrintfSpellsThem)
{
    EXPECT_EQ(Format(0.0), "0");
    EXPECT_EQ(Format(-0.0), "-0");
    EXPECT_EQ(Format(1.0), "1");
    EXPECT_EQ(Format(0.5), "0.5");
    EXPECT_EQ(Format(0.796875), "0.796875");
    EXPECT_EQ(Format(-0.25), "-0.25");
    EXPECT_EQ(Format(0.1), "0.10000000000000000555");
    EXPECT_EQ(Format(1e20), "1e+20");
    EXPECT_EQ(Format(1e19), "10000000000000000000");
    EXPECT_EQ(Format(1e-5), "1.0000000000000000818e-05");
    EXPECT_EQ(Format(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(Format(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(Format(std::numeric_limits<double>::quiet_NaN()), Printf(std::nan("")));
    EXPECT_EQ(Format(FromBits(0x7ff8000000000000ULL)), "nan");
    EXPECT_EQ(Format(FromBits(0xfff8000000000000ULL)), "-nan");
    EXPECT_EQ(Format(FromBits(0x7ff0000000000001ULL)), Printf(FromBits(0x7ff0000000000001ULL)));
    EXPECT_EQ(Format(FromBits(0xfff0000000000001ULL)), Printf(FromBits(0xfff0000000000001ULL)));
}

TEST(RealFormat, EdgesOfRangeRoundingAndNotationMatchPrintf)
{
    Checker check;
    const double edges[] = {DBL_MAX,
                            DBL_MIN,
                            DBL_TRUE_MIN,
                            -DBL_TRUE_MIN,
                            DBL_EPSILON,
                            9007199254740992.0,
                            9007199254740993.0,
                            4503599627370495.5,
                            9223372036854775808.0,
                            9223372036854774784.0,
                            18446744073709551616.0,
                            0.99999999999999988898};
    for (const double value : edges)
    {
        check(value);
        check(-value);
    }
    // Around every power of ten: the decimal exponent, the notation switch
    // at 1e-4 and 1e20, and carries that round up to the next power.
    for (int exponent = -330; exponent <= 310; ++exponent)
    {
        double value = std::pow(10.0, exponent);
        for (int step = 0; step < 40; ++step)
            value = std::nextafter(value, 0.0);
        for (int step = 0; step < 80; ++step)
        {
            check(value);
            value = std::nextafter(value, DBL_MAX);
        }
    }
    // Every power of two, each side of it, and exact ties in the 21st digit
    // such as 1 + 2^-20 = 1.00000095367431640625.
    for (int exponent = -1074; exponent <= 1023; ++exponent)
    {
        const double power = std::ldexp(1.0, exponent);
        check(power);
        check(std::nextafter(power, 0.0));
        check(std::nextafter(power, DBL_MAX));
        if (exponent < 0)
        {
            for (const double base : {1.0, 3.0, 5.0, 7.0, 1000.0, 0.001, 123456.0})
                check(base + power);
        }
    }
    EXPECT_EQ(Format(1.0 + std::ldexp(1.0, -20)), "1.0000009536743164062");
    EXPECT_EQ(check.failures, 0);
}

TEST(RealFormat, MillionsOfValuesMatchPrintf)
{
    Checker check;
    std::mt19937_64 random(20240611);
    // Any bit pattern: every exponent, subnormals, NaN payloads.
    for (int i = 0; i < 2000000; ++i)
        check(FromBits(random()));
    // The values scene files are made of: coordinates, scaled coordinates,
    // unit normals, integers, sixteenths, colour fractions.
    std::uniform_real_distribution<double> coordinate(-1000.0, 1000.0);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<std::int64_t> integer(-100000000, 100000000);
    std::uniform_int_distribution<int> wideExponent(-80, 80);
    for (int i = 0; i < 400000; ++i)
    {
        check(coordinate(random));
        check(unit(random));
        check(static_cast<double>(integer(random)) * 0.05);
        check(static_cast<double>(integer(random)));
        check(static_cast<double>(integer(random)) / 16.0);
        check(static_cast<double>(integer(random) % 512) / 256.0);
        check(std::ldexp(unit(random), wideExponent(random)));
    }
    EXPECT_EQ(check.failures, 0);
    EXPECT_GT(check.checked, 4000000);
}

TEST(NumberFormat, UnsignedAtEveryLengthAndCachedRealsAsWritten)
{
    char text[kMaxRealText];
    for (const std::uint64_t value :
         {0ull, 9ull, 10ull, 99ull, 100ull, 4294967295ull, 4294967296ull, 18446744073709551615ull})
        EXPECT_EQ(std::string(text, format_unsigned(text, value)), std::to_string(value));
    for (std::uint64_t power = 10; power <= 10000000000000000000ull / 10 * 10; power *= 10)
    {
        for (const std::uint64_t value : {power - 1, power, power + 1})
            EXPECT_EQ(std::string(text, format_unsigned(text, value)), std::to_string(value));
        if (power > 18446744073709551615ull / 10)
            break;
    }
    // Every value twice, so that each second one comes from a slot, with
    // values that share slots evicting one another.
    RealTextCache cache;
    std::mt19937_64 random(7);
    for (int i = 0; i < 100000; ++i)
    {
        const double value = i % 2 == 0 ? FromBits(random()) : static_cast<double>(i % 5000) / 7;
        for (int repeat = 0; repeat < 2; ++repeat)
            ASSERT_EQ(std::string(text, cache.Put(text, value)), Printf(value));
    }
}

// Texts come back by owner and entry both, whole, and only while remembered.
TEST(NumberFormat, TriplesRememberedByOwnerAndEntry)
{
    char text[TripleTextCache::kMaxText];
    const std::string longest(TripleTextCache::kMaxText, '7');
    const int owners[2] = {0, 0};
    TripleTextCache cache;
    cache.Keep(&owners[0], 1, longest.data(), longest.data() + longest.size());
    EXPECT_EQ(cache.Find(text, &owners[0], 1), nullptr);
    cache.Prepare();
    std::string texts[2][100];
    for (int o = 0; o < 2; ++o)
        for (std::uint32_t e = 0; e < 100; ++e)
        {
            texts[o][e] = e == 99 ? longest : std::to_string(o) + " " + std::to_string(e) + " -1";
            std::memcpy(text, texts[o][e].data(), texts[o][e].size());
            cache.Keep(&owners[o], e, text, text + texts[o][e].size());
        }
    int found = 0;
    for (int o = 0; o < 2; ++o)
        for (std::uint32_t e = 0; e < 100; ++e)
            if (char* end = cache.Find(text, &owners[o], e))
            {
                ++found;
                EXPECT_EQ(std::string(text, end), texts[o][e]);
            }
    EXPECT_GT(found, 150);
    cache.Forget();
    EXPECT_EQ(cache.Find(text, &owners[1], 99), nullptr);
}

}  // namespace
