// Small text helpers shared across the host.
#pragma once

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace plumbra::host {

// ASCII letters in lower case, other bytes as they are.
inline std::string lower(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Format checking of printf-like functions: GCC's gnu_printf (MinGW's printf family
// differs from the C library's), which Clang does not know; its printf means the same there.
#if defined(__clang__)
#define PLUMBRA_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define PLUMBRA_PRINTF_LIKE(f, a) __attribute__((format(gnu_printf, f, a)))
#endif

// printf into a string (of at most 1 KiB).
PLUMBRA_PRINTF_LIKE(1, 2) inline std::string printed(const char* format, ...)
{
    char buf[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

// `s` padded to `width` columns, or cut at the front with "..." when longer.
inline std::string fit(const std::string& s, size_t width)
{
    return s.size() <= width ? s + std::string(width - s.size(), ' ') : "..." + s.substr(s.size() - (width - 3));
}

}  // namespace plumbra::host
