// fork/exec with both output streams drained through poll, so a chatty child can never
// block on a full pipe while we wait on the other one.
#include "CliRunner.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kestrun::test {
namespace {

// The caller's environment with the options' variables replacing or joining it.
std::vector<std::string> ChildEnvironment(const RunOptions& options) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& [key, value] : options.environment) {
            replaced = replaced || key == name;
        }
        if (!replaced) {
            entries.push_back(text);
        }
    }
    for (const auto& [key, value] : options.environment) {
        entries.push_back(key + "=" + value);
    }
    return entries;
}

void CloseIfOpen(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

} // namespace

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options) {
    RunResult result;
    if (argv.empty()) {
        return result;
    }
    // Everything the child needs is built before fork: between fork and exec only
    // async-signal-safe calls are allowed.
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<std::string> envEntries;
    std::vector<char*> envp;
    if (!options.environment.empty()) {
        envEntries = ChildEnvironment(options);
        for (std::string& e : envEntries) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
    }

    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        result.err = std::strerror(errno);
        return result;
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        result.err = std::strerror(errno);
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) {
            _exit(126);
        }
        if (options.fileSizeLimit >= 0) {
            const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                               static_cast<rlim_t>(options.fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
            // Ignored, an oversized write fails with EFBIG instead of killing the child;
            // the ignore survives exec.
            signal(SIGXFSZ, SIG_IGN);
        }
        if (envp.empty()) {
            execvp(args[0], args.data());
        } else {
            execvpe(args[0], args.data(), envp.data());
        }
        static const char message[] = "exec failed\n";
        [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, message, sizeof message - 1);
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        result.err = std::strerror(errno);
        close(outPipe[0]);
        close(errPipe[0]);
        return result;
    }

    std::thread watcher;
    if (options.whileRunning) {
        watcher = std::thread(options.whileRunning, static_cast<int>(pid));
    }
    int fds[2] = {outPipe[0], errPipe[0]};
    std::string* sinks[2] = {&result.out, &result.err};
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd polled[2];
        for (int i = 0; i < 2; ++i) {
            polled[i] = {fds[i], POLLIN, 0};
        }
        if (poll(polled, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            char buf[4096];
            const ssize_t n = read(fds[i], buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                CloseIfOpen(fds[i]);
            }
        }
    }
    CloseIfOpen(fds[0]);
    CloseIfOpen(fds[1]);
    if (watcher.joinable()) {
        watcher.join(); // before the reap, so the pid it may signal is still the child's
    }

    int wstatus = 0;
    rusage usage{};
    while (wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
    }
    result.peakMemoryKb = usage.ru_maxrss;
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.status = 128 + WTERMSIG(wstatus);
    }
    return result;
}

RunResult RunCli(const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> argv{KESTRUN_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, options);
}

} // namespace kestrun::test
