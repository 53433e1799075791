// A child process fed through a pipe on its standard input (ffmpeg, here).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace nimbrelle::host {

// Finds `program` in the directories of PATH, like the shell does.
std::optional<std::filesystem::path> FindInPath(const std::string& program);

class Subprocess {
public:
    // Starts `argv[0]` (a full path) with its standard input connected to a pipe, its standard
    // output to /dev/null and its standard error to `logFile`. The child runs in its own
    // process group, so a Ctrl-C at the terminal reaches only this host, which then stops the
    // child itself. Throws Error when the program cannot be started.
    Subprocess(const std::vector<std::string>& argv, const std::filesystem::path& logFile);
    // Kills and reaps the child when it is still running (an abandoned render).
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // Writes all of `bytes` to the child's standard input. Retries after EINTR unless a stop
    // was requested (then throws Interrupted). Returns false when the child has stopped
    // reading (EPIPE); throws Error on other write failures.
    bool Write(const void* data, std::size_t bytes);

    // Waits until the child has read everything written so far, at most `limit` (or until it
    // stops reading). Throws Interrupted on a stop request.
    void WaitUntilRead(std::chrono::milliseconds limit);

    // Closes the child's standard input and waits for it to exit. Returns its exit code, or
    // 128 + signal when a signal ended it. A stop request while waiting kills the child and
    // throws Interrupted.
    int Finish();

    // Kills the child (SIGKILL) and reaps it; safe to call more than once.
    void Kill();


private:
    int WaitForExit(bool interruptible);

    pid_t pid_ = -1;
    int input_ = -1;
    std::string program_;
};

// The last `maxLines` lines of a text file, for error messages ("" when unreadable).
std::string TailOfFile(const std::filesystem::path& path, std::size_t maxLines = 6);

}  // namespace nimbrelle::host
