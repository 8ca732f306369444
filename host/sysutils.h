// host/sysutils.h — text conversion, time and chance. Public API.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/kiv_export.h"

namespace KivTrans2 {

// Strict decimal: an optional '-' or '+' followed by one or more digits, within
// the signed 32-bit range, nothing else (no blanks). Raises EConvertError.
KIV_API int32_t StrToInt(const std::string& Text);
KIV_API std::string IntToStr(int64_t Value);

// Remove bytes 0x00..0x20 from both ends / from the left.
KIV_API std::string Trim(const std::string& Text);
KIV_API std::string TrimLeft(const std::string& Text);

// Local date and time in days (since 1899-12-30) with the time of day as the
// fraction.
KIV_API double Now();

// Milliseconds of a monotonic clock, for deadlines and waits.
KIV_API int64_t TickCountMs();

// The process's pseudo-random generator. Thread safe.
KIV_API void Randomize();                 // seeds from the clock
KIV_API void RandSeed(uint32_t Seed);     // seeds with a given value
KIV_API int Random(int N);                // 0 .. N-1; N must be at least 1

// A source of draws 0 .. N-1, so callers can inject fixed draws in tests.
using TRandomFn = std::function<int(int N)>;

}  // namespace KivTrans2
