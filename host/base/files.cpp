#include "base/files.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "base/error.h"

namespace nimbrelle::host {

namespace fs = std::filesystem;

fs::path ParentOrCurrent(const fs::path& p)
{
    const fs::path parent = p.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

void RenameInto(const fs::path& from, const fs::path& to)
{
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec) {
        throw Error("cannot move " + Quoted(from.string()) + " to " + Quoted(to.string()) + ": " + ec.message());
    }
}

TempPath::~TempPath()
{
    if (path_.empty()) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
}

TempPath& TempPath::operator=(TempPath&& other) noexcept
{
    if (this != &other) {
        TempPath old(std::move(*this));
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

namespace {

// The permissions a newly created file or folder would get: `mode` less the umask.
mode_t UsualMode(mode_t mode)
{
    const mode_t mask = umask(0);
    umask(mask);
    return mode & ~mask;
}

}  // namespace

TempPath MakeTempFile(const fs::path& dir, const std::string& prefix, const std::string& suffix,
                      bool publishable)
{
    std::string name = (dir / (prefix + "XXXXXX" + suffix)).string();
    const int fd = mkstemps(name.data(), static_cast<int>(suffix.size()));
    if (fd < 0) {
        throw Error("cannot create a temporary file in " + Quoted(dir.string()) + ": " + ErrnoText(errno));
    }
    if (publishable) fchmod(fd, UsualMode(0666));  // mkstemps makes it private (0600)
    close(fd);
    return TempPath(name);
}

TempPath MakeTempDir(const fs::path& dir, const std::string& prefix, bool publishable)
{
    std::string name = (dir / (prefix + "XXXXXX")).string();
    if (mkdtemp(name.data()) == nullptr) {
        throw Error("cannot create a temporary folder in " + Quoted(dir.string()) + ": " + ErrnoText(errno));
    }
    if (publishable) chmod(name.c_str(), UsualMode(0777));  // mkdtemp makes it private (0700)
    return TempPath(name);
}

}  // namespace nimbrelle::host
