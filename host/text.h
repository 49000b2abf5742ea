// Small text helpers shared across the host.
#pragma once

#include <cctype>
#include <string>

namespace plumbra::host {

// ASCII letters in lower case, other bytes as they are.
inline std::string lower(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace plumbra::host
