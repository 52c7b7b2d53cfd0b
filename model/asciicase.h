#pragma once

#include <string>
#include <string_view>

// Names (of files, nodes and sections) compare without regard to case for
// the ASCII letters only; every other byte compares as it is.

inline char FoldAsciiLetter(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string FoldAsciiCase(std::string_view text)
{
    std::string folded(text);
    for (char& c : folded)
        c = FoldAsciiLetter(c);
    return folded;
}

inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldAsciiLetter(a[i]) != FoldAsciiLetter(b[i]))
            return false;
    return true;
}
