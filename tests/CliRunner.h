// Runs a program the way a user's shell would, but without a shell: arguments go to the
// program verbatim (spaces and all), and its standard output, standard error and exit
// status come back separately.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kestrun::test {

struct RunResult {
    int status = -1; // exit status, or 128 + signal number when a signal ended it
    std::string out;
    std::string err;
    long peakMemoryKb = 0; // the child's peak resident memory (its own, not its children's)
};

struct RunOptions {
    std::string workDir;          // empty: the caller's
    long long fileSizeLimit = -1; // RLIMIT_FSIZE of the child in bytes; -1 leaves it alone
    // Called on a thread of its own with the child's pid while the child runs (to signal
    // it, say); it must return by itself, and does so before the child is reaped.
    std::function<void(int pid)> whileRunning;
    // Variables set in the child's environment on top of the caller's (PATH, say). argv[0]
    // is still looked up in the caller's PATH.
    std::vector<std::pair<std::string, std::string>> environment;
};

// argv[0] is looked up in PATH when it has no '/'.
RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options = {});

// kestrun-cli with these arguments.
RunResult RunCli(const std::vector<std::string>& args, const RunOptions& options = {});

} // namespace kestrun::test
