// The web page's files, built into the program (page/ in the sources; the
// build turns each into a byte array).
#pragma once

#include <cstddef>
#include <string_view>

namespace plumbra::host::web {

struct PageFile {
    const char* name;  // "index.html", "app.js", ...
    const unsigned char* data;
    std::size_t size;
};

extern const PageFile kPageFiles[];
extern const std::size_t kNumPageFiles;

// The file of that exact name, or nullptr.
inline const PageFile* findPageFile(std::string_view name)
{
    for (std::size_t i = 0; i < kNumPageFiles; ++i)
        if (name == kPageFiles[i].name) return &kPageFiles[i];
    return nullptr;
}

}  // namespace plumbra::host::web
