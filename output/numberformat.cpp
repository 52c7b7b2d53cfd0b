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

// The eight decimal digits of a value below 10^8, with leading zeros, as
// byte values 0 to 9 in memory order (the first digit in the lowest byte): the
// value is split into halves, quarters and single digits lane by lane, each
// quotient found by a multiply and a shift that is exact in its range.
std::uint64_t EightDigitValues(std::uint32_t value)
{
    const std::uint64_t high = value / 10000;
    std::uint64_t lanes = high | (std::uint64_t(value - high * 10000) << 32);
    const std::uint64_t hundreds = ((lanes * 10486) >> 20) & 0x0000007F0000007FULL;
    lanes = hundreds | ((lanes - hundreds * 100) << 16);
    const std::uint64_t tens = ((lanes * 103) >> 10) & 0x000F000F000F000FULL;
    return tens | ((lanes - tens * 10) << 8);
}

constexpr std::uint64_t kAsciiZeros = 0x3030303030303030ULL;
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "a word's digits are stored lowest first");

void StoreWord(char* at, std::uint64_t word)
{
    std::memcpy(at, &word, sizeof word);
}

// How many of the eight digits in `digitValues` are zeros at its end.
int TrailingZeroDigits(std::uint64_t digitValues)
{
    return digitValues == 0 ? 8 : __builtin_clzll(digitValues) / 8;
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

    // The twenty digits as 19 + 1, in words of eight digits: the first
    // eight, the next eight and the last four (the rounded twentieth among
    // them), padded with zeros.
    constexpr std::uint64_t kTen11 = 100000000000ULL;
    const std::uint64_t top = leading / kTen11;
    const std::uint64_t lowDigits = (leading - top * kTen11) * 10 + last;  // 12 digits
    const std::uint64_t middle = lowDigits / 10000;
    const std::uint32_t tail = static_cast<std::uint32_t>(lowDigits - middle * 10000);
    const std::uint64_t topValues = EightDigitValues(static_cast<std::uint32_t>(top));
    const std::uint64_t middleValues = EightDigitValues(static_cast<std::uint32_t>(middle));
    const std::uint64_t tailValues = EightDigitValues(tail) >> 32;  // its last four
    int used = kDigits;
    if (tailValues != 0)
        used -= TrailingZeroDigits(tailValues << 32);
    else if (middleValues != 0)
        used -= 4 + TrailingZeroDigits(middleValues);
    else
        used = 8 - TrailingZeroDigits(topValues);
    // A word of zeros after them: the digits after a point are read across
    // two words at a time.
    const std::uint64_t words[4] = {topValues + kAsciiZeros, middleValues + kAsciiZeros,
                                    tailValues + kAsciiZeros, kAsciiZeros};

    // The text is stored in whole words, which may write past its end but
    // never past the kMaxRealText characters of the caller's buffer (of which
    // at most the sign comes before `out`); none is read back.
    if (k >= 0)
    {
        const int whole = k + 1;  // at most 16: the value is below 2^53
        StoreWord(out, words[0]);
        StoreWord(out + 8, words[1]);
        out[whole] = '.';
        // The digits after the point: the words from digit `whole` on.
        const int first = whole / 8;
        const int bits = (whole % 8) * 8;
        char* at = out + whole + 1;
        for (int i = first; whole + 8 * (i - first) < kDigits; ++i, at += 8)
            StoreWord(at,
                      bits == 0 ? words[i] : (words[i] >> bits) | (words[i + 1] << (64 - bits)));
        out += used > whole ? used + 1 : whole;
    }
    else
    {
        const int zeros = -k - 1;  // 0 to 3
        std::memcpy(out, "0.000000", 8);
        char* at = out + 2 + zeros;
        StoreWord(at, words[0]);
        StoreWord(at + 8, words[1]);
        StoreWord(at + 16, words[2]);
        out = at + used;
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
    // Below 10^8, as vertex numbers are: the eight digits at once, without
    // their leading zeros, stored as one word.
    if (value < 100000000)
    {
        if (value == 0)
        {
            *out = '0';
            return out + 1;
        }
        const std::uint64_t digits = EightDigitValues(static_cast<std::uint32_t>(value));
        const int leadingZeros = __builtin_ctzll(digits) / 8;
        StoreWord(out, (digits >> (8 * leadingZeros)) + kAsciiZeros);
        return out + 8 - leadingZeros;
    }
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

void TripleTextCache::Prepare()
{
    if (slots == nullptr)
        slots.reset(new Slot[std::size_t(1) << kSlotBits]());
}

void TripleTextCache::Keep(const void* owner, std::uint32_t entry, const char* text,
                           const char* end)
{
    if (slots == nullptr)
        return;
    Slot& slot = slots[SlotOf(owner, entry)];
    slot.owner = owner;
    slot.entry = entry;
    slot.length = static_cast<std::uint32_t>(end - text);
    // The whole slot, which the text's room holds: a copy of fixed size.
    std::memcpy(slot.text, text, sizeof slot.text);
}
