// Temporary files and folders, removed unless released, and the rename that publishes them.
#pragma once

#include <filesystem>
#include <string>
#include <utility>

namespace nimbrelle::host {

// A file or folder deleted on destruction unless released.
class TempPath {
public:
    TempPath() = default;
    explicit TempPath(std::filesystem::path path) : path_(std::move(path)) {}
    ~TempPath();
    TempPath(TempPath&& other) noexcept : path_(std::exchange(other.path_, {})) {}
    TempPath& operator=(TempPath&& other) noexcept;
    TempPath(const TempPath&) = delete;
    TempPath& operator=(const TempPath&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    void Release() { path_.clear(); }

private:
    std::filesystem::path path_;
};

// Creates an empty temporary file "<dir>/<prefix>XXXXXX<suffix>" (mkstemps). It is private
// to the user unless `publishable`, which gives it the permissions of an ordinary new file.
TempPath MakeTempFile(const std::filesystem::path& dir, const std::string& prefix,
                      const std::string& suffix, bool publishable = false);
// Creates an empty temporary folder "<dir>/<prefix>XXXXXX" (mkdtemp); `publishable` as above.
TempPath MakeTempDir(const std::filesystem::path& dir, const std::string& prefix,
                     bool publishable = false);

// Moves `from` to `to`, replacing a file there. Throws Error naming both on failure.
void RenameInto(const std::filesystem::path& from, const std::filesystem::path& to);

// The folder holding `p`: its parent, or "." for a bare name.
std::filesystem::path ParentOrCurrent(const std::filesystem::path& p);

}  // namespace nimbrelle::host
