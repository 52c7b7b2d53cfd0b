#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Longest text format_real writes: sign, 20 digits, point and "e-308".
constexpr std::size_t kMaxRealText = 32;
// Longest text format_unsigned writes: the 20 digits of 2^64 - 1.
constexpr std::size_t kMaxUnsignedText = 20;

// Writes `value` exactly as printf's "%.20g" does ("nan", "-nan", "inf" and
// "-inf" included) into `buffer`, which must hold kMaxRealText characters, and
// returns the end of the text. No terminating NUL is written.
char* format_real(char* buffer, double value);

// Writes `value` in decimal, without leading zeros, at `out`, which must hold
// kMaxUnsignedText characters; returns the end. No terminating NUL is written.
char* format_unsigned(char* out, std::uint64_t value);

// format_real with a memory of recently written numbers by bit pattern: a
// scene repeats coordinates and normals so often that most are copied instead
// of formatted again. One per thread: it is not shared safely.
class RealTextCache
{
public:
    RealTextCache();

    // The same text as format_real(out, value); returns its end.
    char* Put(char* out, double value);

private:
    struct Slot
    {
        std::uint64_t bits;
        std::uint32_t length;  // 0: empty slot
        char text[28];
    };
    static constexpr std::size_t kSlots = 4096;

    std::unique_ptr<Slot[]> slots;
};
