#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// The text of three numbers as format_real writes them, a space between,
// remembered by a key of the caller's: while the cache is used, an owner and
// an entry always name the same three numbers. Corner normals are written
// one by one, and neighbouring corners share most of them. One per thread;
// it remembers nothing until Prepare.
class TripleTextCache
{
public:
    // Longest text: three numbers and two spaces.
    static constexpr std::size_t kMaxText = 3 * kMaxRealText + 2;

    // Makes room for the texts (a few hundred kilobytes), once.
    void Prepare();
    // Forgets every text and the room for them.
    void Forget() { slots.reset(); }
    // The text of (owner, entry) written at `out`, which has room for
    // kMaxText characters, and its end; null when it is not remembered.
    char* Find(char* out, const void* owner, std::uint32_t entry) const
    {
        if (slots == nullptr)
            return nullptr;
        const Slot& slot = slots[SlotOf(owner, entry)];
        if (slot.length == 0 || slot.owner != owner || slot.entry != entry)
            return nullptr;
        std::memcpy(out, slot.text, sizeof slot.text);
        return out + slot.length;
    }
    // Remembers [text, end), which is followed by room for kMaxText
    // characters in all, as the text of (owner, entry).
    void Keep(const void* owner, std::uint32_t entry, const char* text, const char* end);

private:
    struct Slot
    {
        const void* owner;
        std::uint32_t entry;
        std::uint32_t length;  // 0: empty slot
        char text[kMaxText];
    };
    static constexpr int kSlotBits = 11;
    static std::size_t SlotOf(const void* owner, std::uint32_t entry)
    {
        const std::uint64_t key =
            (std::uint64_t(entry) << 32) ^ reinterpret_cast<std::uintptr_t>(owner);
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
    }

    std::unique_ptr<Slot[]> slots;
};
