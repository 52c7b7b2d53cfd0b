#pragma once

#include <cstddef>

// Longest text format_real writes: sign, 20 digits, point and "e-308".
constexpr std::size_t kMaxRealText = 32;

// Writes `value` exactly as printf's "%.20g" does ("nan", "-nan", "inf" and
// "-inf" included) into `buffer`, which must hold kMaxRealText characters, and
// returns the end of the text. No terminating NUL is written.
char* format_real(char* buffer, double value);
