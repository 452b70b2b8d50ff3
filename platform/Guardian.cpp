// The guardian on POSIX: a process forked at start-up, joined to the program by a
// sequenced-packet socket whose end of file tells it the program is gone; and the
// program's own record of the same groups and files, for ExitNow.
#include "Guardian.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_set>
#include <vector>

namespace kestrun {
namespace {

// One packet per change: the kind, then the group number or the path.
constexpr char ADD_GROUP = 'G';
constexpr char DROP_GROUP = 'g';
constexpr char ADD_FILE = 'F';
constexpr char DROP_FILE = 'f';

// How long the guardian lets the adapters' traps delete their scratch files after SIGTERM.
constexpr int GUARDIAN_GRACE_MS = 400;
constexpr auto POLL = std::chrono::milliseconds(5);
// The largest packet read whole; a longer path would arrive cut.
constexpr std::size_t PACKET_MAX = 64 * 1024;

struct Registry {
    std::mutex mutex;
    std::unordered_set<std::intptr_t> groups;
    std::unordered_set<std::string> files;
};

// Never destroyed: ExitNow may run on one thread while another returns from main.
Registry& Guarded() {
    static Registry* const registry = new Registry;
    return *registry;
}

std::atomic<int> g_socket{-1};

// Async-signal-safe, so a starting tool may call it between fork and exec.
void Send(int fd, char kind, const void* data, std::size_t size) {
    if (fd < 0) {
        return;
    }
    iovec parts[2] = {{&kind, 1}, {const_cast<void*>(data), size}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    while (::sendmsg(fd, &message, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

void SendGroup(int fd, char kind, std::intptr_t group) {
    const int64_t number = group;
    Send(fd, kind, &number, sizeof number);
}

std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    char here[PATH_MAX];
    if (::getcwd(here, sizeof here) == nullptr) {
        return path;
    }
    return std::string(here) + "/" + path;
}

void CloseFrom(int first) {
#ifdef __linux__
    if (::close_range(static_cast<unsigned>(first), ~0U, 0) == 0) {
        return;
    }
#endif
    const long last = ::sysconf(_SC_OPEN_MAX);
    for (long fd = first; fd < (last > 0 ? last : 1024); ++fd) {
        ::close(static_cast<int>(fd));
    }
}

// Stops what the program left: SIGTERM first, so the adapters' traps delete their scratch
// files, SIGKILL for whatever is still there after the grace, then the working files.
void Clean(const std::set<int64_t>& groups, const std::set<std::string>& files) {
    for (const int64_t group : groups) {
        ::kill(-static_cast<pid_t>(group), SIGTERM);
        ::kill(-static_cast<pid_t>(group), SIGCONT);
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(GUARDIAN_GRACE_MS);
    for (;;) {
        bool running = false;
        for (const int64_t group : groups) {
            running = running || ::kill(-static_cast<pid_t>(group), 0) == 0;
        }
        if (!running || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(POLL);
    }
    for (const int64_t group : groups) {
        ::kill(-static_cast<pid_t>(group), SIGKILL);
    }
    for (const std::string& file : files) {
        ::unlink(file.c_str());
    }
}

[[noreturn]] void GuardianMain(int fd) {
    ::setsid();
#ifdef __linux__
    ::prctl(PR_SET_NAME, "kestrun-guard");
#endif
    // Holding the program's output streams would keep its readers waiting for our end.
    const int null = ::open("/dev/null", O_RDWR);
    for (int stream = 0; stream < 3; ++stream) {
        ::dup2(null, stream);
    }
    if (fd != 3) {
        ::dup2(fd, 3);
        fd = 3;
    }
    CloseFrom(4);
    // Paths arrive absolute: the folder the program started in stays free to go.
    [[maybe_unused]] const int rc = ::chdir("/");
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    std::set<int64_t> groups;
    std::set<std::string> files;
    std::vector<char> packet(PACKET_MAX);
    for (;;) {
        const ssize_t n = ::recv(fd, packet.data(), packet.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break; // the program is gone
        }
        const auto size = static_cast<std::size_t>(n);
        int64_t group = 0;
        if ((packet[0] == ADD_GROUP || packet[0] == DROP_GROUP) && size == 1 + sizeof group) {
            std::memcpy(&group, packet.data() + 1, sizeof group);
        }
        const std::string path(packet.data() + 1, size - 1);
        switch (packet[0]) {
        case ADD_GROUP:
            if (group > 0) {
                groups.insert(group);
            }
            break;
        case DROP_GROUP:
            groups.erase(group);
            break;
        case ADD_FILE:
            files.insert(path);
            break;
        case DROP_FILE:
            files.erase(path);
            break;
        default:
            break;
        }
    }
    Clean(groups, files);
    ::_exit(0);
}

} // namespace

bool StartGuardian() {
    if (g_socket.load() >= 0) {
        return true;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        return false;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        return false;
    }
    if (pid == 0) {
        ::close(ends[0]);
        GuardianMain(ends[1]);
    }
    ::close(ends[1]);
    g_socket.store(ends[0]);
    return true;
}

void GuardFile(const std::string& path) {
    const std::string absolute = Absolute(path);
    Registry& registry = Guarded();
    std::lock_guard lock(registry.mutex);
    if (registry.files.insert(absolute).second) {
        Send(g_socket.load(), ADD_FILE, absolute.data(), absolute.size());
    }
}

void ReleaseFile(const std::string& path) {
    const std::string absolute = Absolute(path);
    Registry& registry = Guarded();
    std::lock_guard lock(registry.mutex);
    if (registry.files.erase(absolute) != 0) {
        Send(g_socket.load(), DROP_FILE, absolute.data(), absolute.size());
    }
}

void GuardGroup(std::intptr_t group) {
    Registry& registry = Guarded();
    std::lock_guard lock(registry.mutex);
    registry.groups.insert(group);
}

void ReleaseGroup(std::intptr_t group) {
    Registry& registry = Guarded();
    std::lock_guard lock(registry.mutex);
    registry.groups.erase(group);
    // Sent even when this program never recorded it: the tool itself may have told the
    // guardian before its start was recorded here.
    SendGroup(g_socket.load(), DROP_GROUP, group);
}

int GuardianDescriptor() {
    return g_socket.load();
}

void AnnounceGroup(int descriptor, std::intptr_t group) {
    SendGroup(descriptor, ADD_GROUP, group);
}

void ExitNow(int status, int graceMs, const std::string& message) {
    Registry& registry = Guarded();
    registry.mutex.lock(); // held to the end: nothing starts, registers or releases any more
    for (const std::intptr_t group : registry.groups) {
        ::kill(-static_cast<pid_t>(group), SIGTERM);
        ::kill(-static_cast<pid_t>(group), SIGCONT);
    }
    // A leader not yet reaped keeps its group's number ours, so the SIGKILL below cannot
    // reach a stranger; the worker that would reap it waits for this mutex.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    for (;;) {
        bool running = false;
        for (const std::intptr_t group : registry.groups) {
            siginfo_t info{};
            const int rc =
                ::waitid(P_PID, static_cast<id_t>(group), &info, WEXITED | WNOHANG | WNOWAIT);
            running = running || (rc == 0 && info.si_pid == 0);
        }
        if (!running || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(POLL);
    }
    const int fd = g_socket.load();
    for (const std::intptr_t group : registry.groups) {
        ::kill(-static_cast<pid_t>(group), SIGKILL);
        SendGroup(fd, DROP_GROUP, group);
    }
    for (const std::string& file : registry.files) {
        ::unlink(file.c_str());
        Send(fd, DROP_FILE, file.data(), file.size());
    }
    // Written directly, never through a stream: a stream's lock may be held by the very
    // thread this exit leaves behind, blocked in a write.
    pollfd stream{STDERR_FILENO, POLLOUT, 0};
    if (!message.empty() && ::poll(&stream, 1, 0) == 1 && (stream.revents & POLLOUT) != 0) {
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, message.data(), message.size());
    }
#ifdef __linux__
    // The system call itself: a sanitizer hooks _exit to report, among other things, the
    // threads still there, which are left here on purpose.
    ::syscall(SYS_exit_group, status);
#endif
    ::_exit(status);
}

} // namespace kestrun
