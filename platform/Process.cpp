// POSIX tool lookup and the start/wait/stop cycle of the one running tool. Tools are
// started with posix_spawn: glibc runs the child on a vfork-style clone that only executes
// its own code until exec, so a multi-threaded program cannot deadlock or run a signal
// handler in the half-made child, and every failure up to exec comes back as a value.
#include "Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <thread>
#include <utility>

extern char** environ;

namespace kestrun {
namespace {

// How often Terminate looks whether the worker has reaped the tool.
constexpr auto TERMINATE_POLL = std::chrono::milliseconds(5);
// Everything above standard input, output and error is closed in the tool.
constexpr int FIRST_UNINHERITED_FD = 3;

std::string ErrorText(int code) {
    char buffer[256];
    // GNU strerror_r: returns either buffer or a static string, never fails.
    return ::strerror_r(code, buffer, sizeof buffer);
}

void SetError(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

bool HoldsNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

std::string CurrentFolder() {
    std::error_code ec;
    const std::filesystem::path here = std::filesystem::current_path(ec);
    return ec ? std::string() : here.string();
}

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

// Owns the posix_spawn attribute and file-action objects for one start.
class SpawnSetup {
public:
    SpawnSetup() {
        attrReady_ = ::posix_spawnattr_init(&attr_) == 0;
        actionsReady_ = ::posix_spawn_file_actions_init(&actions_) == 0;
    }
    ~SpawnSetup() {
        if (actionsReady_) {
            ::posix_spawn_file_actions_destroy(&actions_);
        }
        if (attrReady_) {
            ::posix_spawnattr_destroy(&attr_);
        }
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // 0, or the error code of the first step that could not be recorded.
    int Prepare(const ProcessOptions& options) {
        if (!attrReady_ || !actionsReady_) {
            return ENOMEM;
        }
        sigset_t empty;
        sigset_t all;
        ::sigemptyset(&empty);
        ::sigfillset(&all);
        // The CLI blocks SIGINT and SIGTERM in every thread for sigwait and a parent may
        // ignore signals; a tool must start with neither, or it could not be stopped.
        const short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        int rc = ::posix_spawnattr_setflags(&attr_, flags);
        rc = rc != 0 ? rc : ::posix_spawnattr_setpgroup(&attr_, 0);
        rc = rc != 0 ? rc : ::posix_spawnattr_setsigmask(&attr_, &empty);
        rc = rc != 0 ? rc : ::posix_spawnattr_setsigdefault(&attr_, &all);
        if (!options.workingFolder.empty()) {
            rc = rc != 0 ? rc
                         : ::posix_spawn_file_actions_addchdir_np(&actions_,
                                                                  options.workingFolder.c_str());
        }
        // Standard output first: the descriptor given may itself be 0 or 2.
        if (options.stdoutFd >= 0) {
            rc = rc != 0 ? rc
                         : ::posix_spawn_file_actions_adddup2(&actions_, options.stdoutFd,
                                                              STDOUT_FILENO);
        } else {
            rc = rc != 0 ? rc
                         : ::posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, "/dev/null",
                                                              O_WRONLY, 0);
        }
        rc = rc != 0 ? rc
                     : ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null",
                                                          O_RDONLY, 0);
        // Descriptors other threads opened without O_CLOEXEC must not reach the tool either.
        rc = rc != 0 ? rc
                     : ::posix_spawn_file_actions_addclosefrom_np(&actions_, FIRST_UNINHERITED_FD);
        return rc;
    }

    const posix_spawnattr_t* Attr() const { return &attr_; }
    const posix_spawn_file_actions_t* Actions() const { return &actions_; }

private:
    posix_spawnattr_t attr_{};
    posix_spawn_file_actions_t actions_{};
    bool attrReady_ = false;
    bool actionsReady_ = false;
};

int32_t ExitCodeOf(int status, bool terminated) {
    if (terminated) {
        return TERMINATED_EXIT_CODE;
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (sig == SIGINT || sig == SIGTERM) {
        return INTERRUPTED_EXIT_CODE;
    }
    return SIGNALLED_EXIT_BASE - sig;
}

} // namespace

std::vector<std::string> DefaultToolFolders() {
    std::vector<std::string> folders;
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec && self.has_parent_path()) {
        folders.push_back(self.parent_path().string());
    }
    folders.emplace_back(".");
    const char* path = std::getenv("PATH");
    if (path != nullptr) {
        const std::string_view all(path);
        std::size_t begin = 0;
        for (;;) {
            const std::size_t end = std::min(all.find(':', begin), all.size());
            const std::string_view folder = all.substr(begin, end - begin);
            folders.emplace_back(folder.empty() ? std::string_view(".") : folder);
            if (end == all.size()) {
                break;
            }
            begin = end + 1;
        }
    }
    return folders;
}

std::string FindProgram(const std::string& name, const std::vector<std::string>& folders) {
    // A separator would let the name reach outside the folders it is looked up in.
    if (name.empty() || HoldsNul(name) || name.find('/') != std::string::npos) {
        return {};
    }
    std::string here;
    for (const std::string& folder : folders) {
        if (HoldsNul(folder)) {
            continue;
        }
        std::string candidate;
        if (folder.empty() || folder[0] != '/') {
            if (here.empty()) {
                here = CurrentFolder();
                if (here.empty()) {
                    continue;
                }
            }
            candidate = here;
            if (!folder.empty() && folder != ".") {
                candidate += here.back() == '/' ? "" : "/";
                candidate += folder;
            }
        } else {
            candidate = folder;
        }
        if (candidate.back() != '/') {
            candidate += '/';
        }
        candidate += name;
        if (IsExecutableFile(candidate)) {
            return candidate;
        }
    }
    return {};
}

ChildProcess::~ChildProcess() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pid_ != 0) {
        const auto pid = static_cast<pid_t>(pid_);
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = 0;
    }
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const ProcessOptions& options,
                         std::string* error) {
    if (argv.empty()) {
        SetError(error, "no program given");
        return false;
    }
    // A NUL byte would silently cut the argument short; refuse rather than pass on less.
    for (std::size_t i = 0; i < argv.size(); ++i) {
        if (HoldsNul(argv[i])) {
            SetError(error, "argument " + std::to_string(i) + " holds a NUL byte");
            return false;
        }
    }
    if (HoldsNul(options.workingFolder)) {
        SetError(error, "the working folder holds a NUL byte");
        return false;
    }
    const std::string program = FindProgram(argv[0], options.searchFolders);
    if (program.empty()) {
        SetError(error, "program not found: " + argv[0]);
        return false;
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    args.push_back(const_cast<char*>(program.c_str()));
    for (std::size_t i = 1; i < argv.size(); ++i) {
        args.push_back(const_cast<char*>(argv[i].c_str()));
    }
    args.push_back(nullptr);

    SpawnSetup setup;
    if (const int rc = setup.Prepare(options); rc != 0) {
        SetError(error, "cannot prepare to start " + program + ": " + ErrorText(rc));
        return false;
    }

    // Held across the spawn so Terminate sees either no tool and closed_ set, or the tool.
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
        SetError(error, "the program is shutting down");
        return false;
    }
    if (pid_ != 0) {
        SetError(error, "another tool is still running");
        return false;
    }
    pid_t pid = 0;
    // posix_spawn returns only once the child has exec'd or failed; a failed child has
    // already been reaped by then, so nothing is left behind.
    const int rc =
        ::posix_spawn(&pid, program.c_str(), setup.Actions(), setup.Attr(), args.data(), environ);
    if (rc != 0) {
        struct stat info {};
        const bool folderMissing =
            !options.workingFolder.empty() &&
            (::stat(options.workingFolder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode));
        SetError(error, folderMissing ? "cannot enter working folder " + options.workingFolder +
                                            ": " + ErrorText(rc)
                                      : "cannot start " + program + ": " + ErrorText(rc));
        return false;
    }
    pid_ = pid;
    ++generation_;
    terminated_ = false;
    return true;
}

int32_t ChildProcess::Wait() {
    pid_t pid = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pid = static_cast<pid_t>(pid_);
    }
    if (pid == 0) {
        return -1;
    }
    // WNOWAIT leaves the tool a zombie, so its pid and group stay reserved until the
    // reap below, which happens under the mutex Terminate signals under.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    std::lock_guard<std::mutex> lock(mutex_);
    int status = 0;
    pid_t reaped = -1;
    do {
        reaped = ::waitpid(pid, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    const bool terminated = terminated_;
    pid_ = 0;
    terminated_ = false;
    if (reaped != pid) {
        // Collected elsewhere (SIGCHLD ignored): the status is lost, so report a failure
        // no tool's own exit status can be.
        return terminated ? TERMINATED_EXIT_CODE : SIGNALLED_EXIT_BASE;
    }
    return ExitCodeOf(status, terminated);
}

bool ChildProcess::Terminate(int graceMs) {
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        if (pid_ == 0) {
            return false;
        }
        terminated_ = true;
        generation = generation_;
        ::kill(-static_cast<pid_t>(pid_), SIGTERM);
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(graceMs, 0));
    bool killed = false;
    for (;;) {
        std::this_thread::sleep_for(TERMINATE_POLL);
        std::lock_guard<std::mutex> lock(mutex_);
        if (pid_ == 0 || generation_ != generation) {
            return true;
        }
        if (!killed && std::chrono::steady_clock::now() >= deadline) {
            ::kill(-static_cast<pid_t>(pid_), SIGKILL);
            killed = true;
        }
    }
}

bool ChildProcess::HasEnded() const {
    pid_t pid = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pid = static_cast<pid_t>(pid_);
    }
    if (pid == 0) {
        return true;
    }
    siginfo_t info{};
    info.si_pid = 0;
    int rc = 0;
    do {
        rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (rc < 0 && errno == EINTR);
    // An error means there is nothing left to wait for.
    return rc < 0 || info.si_pid == pid;
}

bool ChildProcess::IsRunning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pid_ != 0;
}

} // namespace kestrun
