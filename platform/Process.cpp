// POSIX tool lookup and the start/wait/stop cycle of the one running tool. Tools are
// started with vfork: the child borrows the parent's memory and runs only system calls
// until exec, with every signal blocked, so a multi-threaded program cannot deadlock or run
// a signal handler in the half-made child, and a large program pays no page-table copy.
// Each failure up to exec comes back as a value over a close-on-exec pipe, which works as
// well where vfork is a plain fork (ThreadSanitizer makes it one).
#include "Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <thread>
#include <utility>

#include "Guardian.h"

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

// The step of a start that failed, sent back with its errno.
enum StartStep : int { STEP_STREAMS = 1, STEP_FOLDER = 2, STEP_EXEC = 3 };

struct StartFailure {
    int step = 0;
    int error = 0;
};

// Everything the child needs, made before the fork: between fork and exec the child only
// makes system calls.
struct ChildPlan {
    const char* program = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    const char* folder = nullptr; // nullptr: the program's own
    int stdoutFd = -1;            // -1: /dev/null
    int failureFd = -1;           // the start pipe's writing end, close-on-exec
    int guardianFd = -1;
    pid_t parent = 0;
    sigset_t emptyMask{};
};

[[noreturn]] void Fail(int failureFd, StartStep step, int error) {
    const StartFailure failure{step, error};
    while (::write(failureFd, &failure, sizeof failure) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

// Puts a fresh descriptor of `path` at `target`, inheritable.
bool OpenAt(const char* path, int flags, int target) {
    const int fd = ::open(path, flags);
    if (fd < 0) {
        return false;
    }
    if (fd != target) {
        const bool placed = ::dup2(fd, target) == target;
        ::close(fd);
        return placed;
    }
    return true;
}

void CloseRange(int first, int last) {
    if (first > last) {
        return;
    }
#ifdef __linux__
    if (::close_range(static_cast<unsigned>(first), static_cast<unsigned>(last), 0) == 0) {
        return;
    }
#endif
    rlimit limit{};
    const int top = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                        ? static_cast<int>(limit.rlim_cur)
                        : 65536;
    for (int fd = first; fd <= last && fd < top; ++fd) {
        ::close(fd);
    }
}

[[noreturn]] void RunChild(const ChildPlan& plan) {
    int failureFd = plan.failureFd;
    if (failureFd < FIRST_UNINHERITED_FD) { // standard streams closed in the program
        failureFd = ::fcntl(failureFd, F_DUPFD_CLOEXEC, FIRST_UNINHERITED_FD);
    }
#ifdef __linux__
    // The guardian covers the program's sudden death only from the moment the tool has
    // named its group, just below; before, this does. SIGTERM, as the exit path sends it,
    // so that an adapter's trap still deletes its scratch files.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != plan.parent) {
        ::_exit(127);
    }
#endif
    ::setpgid(0, 0);
    AnnounceGroup(plan.guardianFd, ::getpid());
    // A parent may ignore signals and the CLI blocks SIGINT and SIGTERM for sigwait; a tool
    // must start with neither, or it could not be stopped. The mask comes last, so no
    // handler of the program ever runs here.
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) {
            ::sigaction(sig, &byDefault, nullptr);
        }
    }
    // Standard output first: the descriptor given may itself be 0 or 2.
    if (plan.stdoutFd == STDOUT_FILENO) {
        ::fcntl(STDOUT_FILENO, F_SETFD, 0);
    } else if (plan.stdoutFd >= 0 ? ::dup2(plan.stdoutFd, STDOUT_FILENO) != STDOUT_FILENO
                                  : !OpenAt("/dev/null", O_WRONLY, STDOUT_FILENO)) {
        Fail(failureFd, STEP_STREAMS, errno);
    }
    if (!OpenAt("/dev/null", O_RDONLY, STDIN_FILENO)) {
        Fail(failureFd, STEP_STREAMS, errno);
    }
    if (plan.folder != nullptr && ::chdir(plan.folder) != 0) {
        Fail(failureFd, STEP_FOLDER, errno);
    }
    // Descriptors other threads opened without O_CLOEXEC must not reach the tool either.
    // Those opened after the fork are not in this copy of the table at all.
    if (failureFd >= FIRST_UNINHERITED_FD) {
        CloseRange(FIRST_UNINHERITED_FD, failureFd - 1);
        CloseRange(failureFd + 1, INT_MAX);
    } else {
        CloseRange(FIRST_UNINHERITED_FD, INT_MAX);
    }
    ::sigprocmask(SIG_SETMASK, &plan.emptyMask, nullptr);
    ::execve(plan.program, plan.argv, plan.envp);
    Fail(failureFd, STEP_EXEC, errno);
}

// Apart, so that no caller's frame is shared with the child beyond this one.
__attribute__((noinline)) pid_t SpawnChild(const ChildPlan& plan) {
    const pid_t pid = ::vfork();
    if (pid == 0) {
        RunChild(plan);
    }
    return pid;
}

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
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 &&
               errno == EINTR) {
        }
        ReleaseGroup(pid);
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

    ChildPlan plan;
    plan.program = program.c_str();
    plan.argv = args.data();
    plan.envp = environ;
    plan.folder = options.workingFolder.empty() ? nullptr : options.workingFolder.c_str();
    plan.stdoutFd = options.stdoutFd;
    plan.guardianFd = GuardianDescriptor();
    plan.parent = ::getpid();
    ::sigemptyset(&plan.emptyMask);
    sigset_t all;
    ::sigfillset(&all);

    // Held across the start so Terminate sees either no tool and closed_ set, or the tool.
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
        SetError(error, "the program is shutting down");
        return false;
    }
    if (pid_ != 0) {
        SetError(error, "another tool is still running");
        return false;
    }
    int failurePipe[2];
    if (::pipe2(failurePipe, O_CLOEXEC) != 0) {
        SetError(error, "cannot prepare to start " + program + ": " + ErrorText(errno));
        return false;
    }
    plan.failureFd = failurePipe[1];
    sigset_t previous;
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = SpawnChild(plan);
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(failurePipe[1]);
    // Nothing to read once the tool has exec'd: the pipe closed with the exec.
    StartFailure failure;
    ssize_t got = 0;
    do {
        got = pid > 0 ? ::read(failurePipe[0], &failure, sizeof failure) : 0;
    } while (got < 0 && errno == EINTR);
    ::close(failurePipe[0]);
    if (pid < 0) {
        SetError(error, "cannot start " + program + ": " + ErrorText(forkError));
        return false;
    }
    if (got > 0) {
        // Reaped here, so a failed start leaves nothing behind; released first, while the
        // unreaped child keeps the group's number from being taken.
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 &&
               errno == EINTR) {
        }
        ReleaseGroup(pid);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        const int code = got == static_cast<ssize_t>(sizeof failure) ? failure.error : EIO;
        SetError(error, failure.step == STEP_FOLDER
                            ? "cannot enter working folder " + options.workingFolder + ": " +
                                  ErrorText(code)
                            : "cannot start " + program + ": " + ErrorText(code));
        return false;
    }
    pid_ = pid;
    GuardGroup(pid);
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
    // Whatever the tool left running in its group goes with it, so nothing of it outlives
    // the release below; the unreaped leader keeps the group's number ours until the reap.
    ::kill(-pid, SIGKILL);
    ReleaseGroup(pid);
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
