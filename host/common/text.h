// Small text helpers shared across the host.
#pragma once

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace plumbra::host {

// ASCII letters in lower case, other bytes as they are.
inline std::string lower(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// `s` without the white space at either end.
inline std::string trim(const std::string& s)
{
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

// A whole string (white space at the ends allowed) as a finite number, or false.
inline bool parseNumber(const std::string& text, double& out)
{
    const std::string t = trim(text);
    if (t.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size() || !std::isfinite(v)) return false;
    out = v;
    return true;
}

// The shortest decimal that reads back as `v` (0.7f as "0.7").
inline std::string shortestText(float v)
{
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
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
