#include "output/numberformat.h"

#include <charconv>
#include <cstdint>
#include <cstring>

namespace
{

__extension__ typedef unsigned __int128 Uint128;

constexpr int kDigits = 20;
constexpr std::uint64_t kTen18 = 1000000000000000000ULL;
constexpr std::uint64_t kTen19 = 10000000000000000000ULL;

const char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Powers of ten 10^0 to 10^22; the larger ones no longer fit 64 bits.
Uint128 PowerOfTen(int exponent)
{
    Uint128 power = 1;
    for (int i = 0; i < exponent; ++i)
        power *= 10;
    return power;
}

struct PowerTable
{
    Uint128 values[23];
    PowerTable()
    {
        for (int i = 0; i < 23; ++i)
            values[i] = PowerOfTen(i);
    }
};

const PowerTable kPowers;

// 10^-4 to 10^16, each the double nearest to it.
const double kPowersAsDoubles[] = {1e-4, 1e-3, 1e-2, 1e-1, 1e0,  1e1,  1e2,  1e3,  1e4,  1e5, 1e6,
                                   1e7,  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16};

// Writes exactly `count` (at most 8) decimal digits of `value`, with leading
// zeros, ending at `end`.
void WriteDigitsBackwards(char* end, std::uint32_t value, int count)
{
    while (count >= 2)
    {
        const std::uint32_t pair = (value % 100) * 2;
        value /= 100;
        *--end = kDigitPairs[pair + 1];
        *--end = kDigitPairs[pair];
        count -= 2;
    }
    if (count == 1)
        *--end = static_cast<char>('0' + value % 10);
}

// Writes the 19 digits of a value below 10^19, in three 32-bit pieces.
void WriteNineteenDigits(char* out, std::uint64_t value)
{
    constexpr std::uint64_t kTen8 = 100000000;
    const std::uint64_t high = value / kTen8;
    WriteDigitsBackwards(out + 19, static_cast<std::uint32_t>(value - high * kTen8), 8);
    const std::uint64_t top = high / kTen8;
    WriteDigitsBackwards(out + 11, static_cast<std::uint32_t>(high - top * kTen8), 8);
    WriteDigitsBackwards(out + 3, static_cast<std::uint32_t>(top), 3);
}

// The general path, for the values the exact paths below leave out.
char* FormatWithCharconv(char* out, double value)
{
    return std::to_chars(out, out + kMaxRealText, value, std::chars_format::general, kDigits).ptr;
}

// Twenty significant digits of m * 2^-shift, a value in [1e-4, 2^53) that is
// not an integer, rounded to nearest with ties to even, written in the fixed
// notation that %.20g uses for decimal exponents -4 to 19. False when the
// value lies below 1e-4, where the notation changes and 128 bits no longer hold
// the product.
bool FormatFraction(char*& out, double value, std::uint64_t m, int shift)
{
    // Decimal exponent k of the value: a guess from the binary exponent and
    // the nearest double to the next power of ten, corrected against the
    // 19-digit quotient, which is exact.
    const int binaryExponent = 52 - shift;
    int k = (binaryExponent * 1233) >> 12;
    if (k + 1 >= -4 && k + 1 <= 16 && value >= kPowersAsDoubles[k + 1 + 4])
        ++k;
    const Uint128 mask = (Uint128(1) << shift) - 1;
    Uint128 product;
    std::uint64_t leading;
    for (;;)
    {
        if (k < -4)
            return false;
        product = Uint128(m) * kPowers.values[18 - k];
        const Uint128 quotient = product >> shift;
        if (quotient >= kTen19)
        {
            ++k;
            continue;
        }
        if (quotient < kTen18)
        {
            --k;
            continue;
        }
        leading = static_cast<std::uint64_t>(quotient);
        break;
    }
    // The twentieth digit and what remains below it decide the rounding.
    const Uint128 tenthsOfRest = (product & mask) * 10;
    unsigned last = static_cast<unsigned>(tenthsOfRest >> shift);
    const Uint128 rest = tenthsOfRest & mask;
    const Uint128 half = Uint128(1) << (shift - 1);
    if (rest > half || (rest == half && (last & 1) != 0))
    {
        if (++last == 10)
        {
            last = 0;
            if (++leading == kTen19)
            {
                leading = kTen18;
                ++k;
            }
        }
    }

    char digits[kDigits];
    WriteNineteenDigits(digits, leading);
    digits[kDigits - 1] = static_cast<char>('0' + last);
    int used = kDigits;
    while (used > 0 && digits[used - 1] == '0')
        --used;

    if (k >= 0)
    {
        const int whole = k + 1;
        for (int i = 0; i < whole; ++i)
            *out++ = i < used ? digits[i] : '0';
        if (used > whole)
        {
            *out++ = '.';
            std::memcpy(out, digits + whole, static_cast<std::size_t>(used - whole));
            out += used - whole;
        }
    }
    else
    {
        *out++ = '0';
        *out++ = '.';
        for (int i = -1; i > k; --i)
            *out++ = '0';
        std::memcpy(out, digits, static_cast<std::size_t>(used));
        out += used;
    }
    return true;
}

}  // namespace

char* format_real(char* buffer, double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const bool negative = (bits >> 63) != 0;
    const int biasedExponent = static_cast<int>((bits >> 52) & 0x7ff);
    const std::uint64_t fraction = bits & ((std::uint64_t(1) << 52) - 1);
    char* out = buffer;

    if (biasedExponent == 0x7ff)
    {
        // printf's spelling, which keeps the sign of a NaN.
        const char* text =
            fraction != 0 ? (negative ? "-nan" : "nan") : (negative ? "-inf" : "inf");
        const std::size_t length = std::strlen(text);
        std::memcpy(out, text, length);
        return out + length;
    }
    if (biasedExponent == 0)
    {
        if (fraction != 0)
            return FormatWithCharconv(buffer, value);
        if (negative)
            *out++ = '-';
        *out++ = '0';
        return out;
    }

    if (negative)
        *out++ = '-';
    const std::uint64_t m = fraction | (std::uint64_t(1) << 52);
    const int exponent = biasedExponent - 1075;  // value = m * 2^exponent
    if (exponent >= 0)
    {
        // Integers below 2^63 have at most 19 digits, all of them significant.
        if (exponent <= 10)
            return format_unsigned(out, m << exponent);
        return FormatWithCharconv(buffer, value);
    }
    const int shift = -exponent;
    if (shift <= 52 && (m & ((std::uint64_t(1) << shift) - 1)) == 0)
        return format_unsigned(out, m >> shift);
    if (shift <= 66 && FormatFraction(out, negative ? -value : value, m, shift))
        return out;
    return FormatWithCharconv(buffer, value);
}

char* format_unsigned(char* out, std::uint64_t value)
{
    // The digit count first, then two digits at a time from the end, in place.
    static constexpr std::uint64_t kTens[] = {10ULL,
                                              100ULL,
                                              1000ULL,
                                              10000ULL,
                                              100000ULL,
                                              1000000ULL,
                                              10000000ULL,
                                              100000000ULL,
                                              1000000000ULL,
                                              10000000000ULL,
                                              100000000000ULL,
                                              1000000000000ULL,
                                              10000000000000ULL,
                                              100000000000000ULL,
                                              1000000000000000ULL,
                                              10000000000000000ULL,
                                              100000000000000000ULL,
                                              1000000000000000000ULL,
                                              10000000000000000000ULL};
    std::size_t length = 1;
    while (length <= sizeof kTens / sizeof kTens[0] && value >= kTens[length - 1])
        ++length;
    char* end = out + length;
    char* at = end;
    while (value >= 100)
    {
        const unsigned pair = static_cast<unsigned>(value % 100) * 2;
        value /= 100;
        at -= 2;
        at[0] = kDigitPairs[pair];
        at[1] = kDigitPairs[pair + 1];
    }
    if (value >= 10)
    {
        at[-2] = kDigitPairs[value * 2];
        at[-1] = kDigitPairs[value * 2 + 1];
    }
    else
    {
        at[-1] = static_cast<char>('0' + value);
    }
    return end;
}

RealTextCache::RealTextCache() : slots(new Slot[kSlots]())
{
}

char* RealTextCache::Put(char* out, double value)
{
    static_assert(kMaxRealText <= sizeof(Slot::text) + 4, "cached text fits");
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    Slot& slot = slots[(bits * 0x9E3779B97F4A7C15ull) >> 52];
    if (slot.length != 0 && slot.bits == bits)
    {
        std::memcpy(out, slot.text, sizeof slot.text);
        return out + slot.length;
    }
    char* end = format_real(out, value);
    const std::size_t length = static_cast<std::size_t>(end - out);
    if (length <= sizeof slot.text)
    {
        slot.bits = bits;
        slot.length = static_cast<std::uint32_t>(length);
        // The whole slot, which `out` has room for: a copy of fixed size.
        std::memcpy(slot.text, out, sizeof slot.text);
    }
    return end;
}
