// A folder of the test's own under /tmp, removed with everything in it at the end.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace plumbra::test {

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "plumbra-test")
    {
        std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
        if (mkdtemp(tmpl.data())) path_ = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }
    // Names of every entry, temporary files included.
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(path_, ec)) names.push_back(e.path().filename().string());
        return names;
    }

private:
    std::string path_;
};

}  // namespace plumbra::test
