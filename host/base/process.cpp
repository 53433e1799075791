#include "base/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <string_view>
#include <thread>

#include "base/error.h"
#include "base/signals.h"

extern char** environ;

namespace nimbrelle::host {

namespace fs = std::filesystem;

std::optional<fs::path> FindInPath(const std::string& program)
{
    if (program.find('/') != std::string::npos) {
        if (access(program.c_str(), X_OK) == 0) return fs::path(program);
        return std::nullopt;
    }
    const char* pathVariable = std::getenv("PATH");
    const std::string_view path = pathVariable != nullptr ? pathVariable : "/usr/bin:/bin";
    std::size_t begin = 0;
    while (begin <= path.size()) {
        std::size_t end = path.find(':', begin);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view dir = path.substr(begin, end - begin);
        const fs::path candidate = fs::path(dir.empty() ? "." : std::string(dir)) / program;
        std::error_code ec;
        if (access(candidate.c_str(), X_OK) == 0 && !fs::is_directory(candidate, ec)) return candidate;
        begin = end + 1;
    }
    return std::nullopt;
}

namespace {

// posix_spawn file actions and attributes, released on every path out.
struct SpawnSetup {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv, const fs::path& logFile)
    : program_(argv.at(0))
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw Error("cannot create a pipe to " + Quoted(program_) + ": " + ErrnoText(errno));
    }
    Fd readEnd{pipeFds[0]}, writeEnd{pipeFds[1]};
    // A bigger pipe lets the child take a whole row block at once; failure is harmless.
    fcntl(writeEnd.fd, F_SETPIPE_SZ, 1 << 20);

    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, readEnd.fd, STDIN_FILENO);
    posix_spawn_file_actions_addopen(&setup.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&setup.actions, STDERR_FILENO, logFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // The host ignores SIGPIPE and SIGXFSZ and catches SIGINT/SIGTERM/SIGHUP; the child gets
    // the default behaviour back, and its own process group.
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGXFSZ, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, s);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    sigset_t noMask;
    sigemptyset(&noMask);
    posix_spawnattr_setsigmask(&setup.attributes, &noMask);
    posix_spawnattr_setpgroup(&setup.attributes, 0);
    posix_spawnattr_setflags(&setup.attributes, static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                                                   POSIX_SPAWN_SETPGROUP));

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program_.c_str(), &setup.actions, &setup.attributes, args.data(), environ);
    if (rc != 0) {
        throw Error("cannot start " + Quoted(program_) + ": " + ErrnoText(rc));
    }
    pid_ = pid;
    input_ = writeEnd.fd;
    writeEnd.fd = -1;
}

Subprocess::~Subprocess()
{
    Kill();
}

bool Subprocess::Write(const void* data, std::size_t bytes)
{
    const auto* p = static_cast<const unsigned char*>(data);
    while (bytes > 0) {
        const ssize_t n = write(input_, p, bytes);
        if (n < 0) {
            if (errno == EINTR) {
                ThrowIfInterrupted();
                continue;
            }
            if (errno == EPIPE) return false;
            throw Error("cannot write to " + Quoted(program_) + ": " + ErrnoText(errno));
        }
        p += n;
        bytes -= static_cast<std::size_t>(n);
    }
    return true;
}

void Subprocess::WaitUntilRead(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (input_ >= 0 && std::chrono::steady_clock::now() < deadline) {
        int unread = 0;
        if (ioctl(input_, FIONREAD, &unread) != 0 || unread == 0) return;
        pollfd reader{input_, 0, 0};
        if (poll(&reader, 1, 0) > 0 && (reader.revents & POLLERR) != 0) return;  // nobody reads any more
        ThrowIfInterrupted();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

int Subprocess::WaitForExit(bool interruptible)
{
    // An interruptible wait polls, so that a stop request that arrives just before it, or
    // between two polls, is not missed as it would be by a blocking waitpid.
    int status = 0;
    for (;;) {
        if (interruptible && InterruptRequested()) {
            Kill();
            throw Interrupted();
        }
        const pid_t r = waitpid(pid_, &status, interruptible ? WNOHANG : 0);
        if (r == pid_) break;
        if (r == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        pid_ = -1;
        return -1;
    }
    pid_ = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int Subprocess::Finish()
{
    if (input_ >= 0) {
        close(input_);
        input_ = -1;
    }
    if (pid_ < 0) return -1;
    return WaitForExit(true);
}

void Subprocess::Kill()
{
    if (input_ >= 0) {
        close(input_);
        input_ = -1;
    }
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        WaitForExit(false);
    }
}

std::string TailOfFile(const fs::path& path, std::size_t maxLines)
{
    std::ifstream in(path);
    if (!in) return {};
    std::deque<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        lines.push_back(line);
        if (lines.size() > maxLines) lines.pop_front();
    }
    std::string result;
    for (const std::string& l : lines) {
        if (!result.empty()) result += '\n';
        result += l;
    }
    return result;
}

}  // namespace nimbrelle::host
