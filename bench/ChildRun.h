// Benchmarks' child processes: a program run with its standard output to a file, timed,
// with its own peak resident size, and the small statistics the figures are printed from.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace kestrun::bench {

struct ChildRun {
    bool ok = false;
    double seconds = 0.0;
    long maxRssKiB = 0;
};

// Runs args[0] with stdout to outPath; who names the caller in a failure message. Spawned
// rather than forked so the child starts from a fresh image; its peak resident size still
// cannot fall below the caller's own at the moment of the spawn, which is why nothing
// large is ever held there.
inline ChildRun RunChild(const std::vector<std::string>& args, const std::string& outPath,
                         const char* who) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ChildRun run;
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::fprintf(stderr, "%s: cannot start %s\n", who, argv[0]);
        return run;
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        return run;
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.maxRssKiB = usage.ru_maxrss; // KiB on Linux
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!run.ok) {
        std::fprintf(stderr, "%s: %s %s failed (status %d)\n", who, argv[0],
                     args.size() > 2 ? args[2].c_str() : "", status);
    }
    return run;
}

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline double MB(long kib) {
    return static_cast<double>(kib) * 1024.0 / 1e6;
}

} // namespace kestrun::bench
