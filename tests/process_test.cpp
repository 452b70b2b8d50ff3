// Tool lookup and the start/wait/stop cycle, run against small shell scripts the tests
// write into a private folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// TestWav.h uses std::copy_n without including <algorithm> itself.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "Process.h"
#include "TestWav.h"

namespace {

using namespace kestrun;
namespace fs = std::filesystem;

void WriteTool(const std::string& path, const std::string& body) {
    testwav::WriteText(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
}

// Generous: only a hung process makes this give up.
bool PollUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 3000 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// Gone, or a zombie left to a container init that never reaps.
bool Gone(pid_t pid) {
    const std::string stat = testwav::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t paren = stat.rfind(')');
    return stat.empty() ||
           (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z');
}

// The pid a tool wrote on a line of its own; 0 until the line is complete.
pid_t WrittenPid(const std::string& path) {
    const std::string text = testwav::ReadFile(path);
    return text.empty() || text.back() != '\n' ? 0 : std::atoi(text.c_str());
}

// No child of the test process is left, running or as a zombie.
bool NoChildren() {
    return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

// Stops the tool from another thread while this one waits, as the exit path does. A tool
// that outlives Terminate fails the test and is killed here instead of hanging it.
int32_t WaitWhileTerminating(ChildProcess& child, int graceMs, pid_t tool, bool* stopped) {
    std::thread exitPath([&] { *stopped = child.Terminate(graceMs); });
    std::future<int32_t> code = std::async(std::launch::async, [&] { return child.Wait(); });
    if (code.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "the tool outlived Terminate";
        if (tool > 0) { // kill(0) or kill(-0) would hit the test runner's own group
            ::kill(-tool, SIGKILL);
            ::kill(tool, SIGKILL);
        }
    }
    const int32_t result = code.get();
    exitPath.join();
    return result;
}

class ProcessTest : public ::testing::Test {
protected:
    std::string Tool(const std::string& name, const std::string& body) {
        WriteTool(dir / name, body);
        return dir / name;
    }
    ProcessOptions Options(int stdoutFd = -1) const {
        ProcessOptions options;
        options.searchFolders = {dir.path().string()};
        options.stdoutFd = stdoutFd;
        return options;
    }
    int32_t Run(const std::vector<std::string>& argv, const ProcessOptions& options) {
        ChildProcess child;
        std::string error;
        EXPECT_TRUE(child.Start(argv, options, &error)) << error;
        return child.Wait();
    }
    // The text a tool wrote to standard output.
    std::string Output(const std::vector<std::string>& argv, std::string workingFolder = {}) {
        const std::string path = dir / "stdout.txt";
        // As the worker opens its outputs: close-on-exec, which the tool's copy must drop.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ProcessOptions options = Options(fd);
        options.workingFolder = std::move(workingFolder);
        EXPECT_EQ(Run(argv, options), 0);
        ::close(fd);
        return testwav::ReadFile(path);
    }
    testwav::TempDir dir;
};

TEST(ToolLookup, DefaultFoldersAreOwnThenCurrentThenPath) {
    const char* saved = std::getenv("PATH");
    const std::string oldPath = saved != nullptr ? saved : "";
    const std::string own = fs::read_symlink("/proc/self/exe").parent_path().string();
    ::setenv("PATH", "/usr/bin::/bin:", 1);
    const std::vector<std::string> withPath = DefaultToolFolders();
    ::unsetenv("PATH");
    const std::vector<std::string> withoutPath = DefaultToolFolders();
    if (saved != nullptr) {
        ::setenv("PATH", oldPath.c_str(), 1);
    }
    EXPECT_EQ(withPath, (std::vector<std::string>{own, ".", "/usr/bin", ".", "/bin", "."}));
    EXPECT_EQ(withoutPath, (std::vector<std::string>{own, "."}));
}

TEST_F(ProcessTest, FindProgramTakesFirstExecutableRegularFile) {
    for (const char* sub : {"plain", "folder", "first", "second"}) {
        fs::create_directory(dir / sub);
    }
    // Root may execute a file only when some execute bit is set, so this holds as root too.
    testwav::WriteText(dir / "plain/tool", "#!/bin/sh\n");
    fs::create_directory(dir / "folder/tool");
    WriteTool(dir / "first/tool", "");
    WriteTool(dir / "second/tool", "");
    const std::vector<std::string> folders = {dir / "missing", dir / "plain", dir / "folder",
                                              dir / "first", dir / "second"};
    EXPECT_EQ(FindProgram("tool", folders), dir / "first/tool");
    EXPECT_EQ(FindProgram("tool", {dir / "second/", dir / "first"}), dir / "second/tool");

    const std::string relative = fs::relative(dir / "second").string();
    const std::string found = FindProgram("tool", {relative});
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0], '/');
    EXPECT_TRUE(fs::equivalent(found, dir / "second/tool"));

    EXPECT_EQ(FindProgram("tool", {dir / "plain", dir / "folder"}), "");
    EXPECT_EQ(FindProgram("", {dir / "first"}), "");
    // A name is one file name: a separator must not reach into (or out of) a folder.
    EXPECT_EQ(FindProgram("first/tool", {dir.path().string()}), "");
    EXPECT_EQ(FindProgram("../first/tool", {dir / "second"}), "");
}

TEST_F(ProcessTest, EachArgumentArrivesIntactWithResolvedProgramPath) {
    const std::string tool =
        Tool("rec", "for a in \"$0\" \"$@\"; do printf '%s\\0' \"$a\"; done > \"${0%/*}/args\"\n");
    const std::vector<std::string> argv = {
        "rec",   "two words",   "say \"hi\" 'x'", "-n", "$HOME", "a;b|c&", "`id`",
        "$(id)", "line\nbreak", "\xff\xfe",       "",   "*",     "back\\", " "};
    ASSERT_EQ(Run(argv, Options()), 0);
    std::string expected = tool + '\0';
    for (std::size_t i = 1; i < argv.size(); ++i) {
        expected += argv[i] + '\0';
    }
    EXPECT_EQ(testwav::ReadFile(dir / "args"), expected);

    // A NUL cannot be passed on; the argument would arrive cut short.
    ChildProcess child;
    std::string error;
    EXPECT_FALSE(child.Start({"rec", std::string("a\0b", 3)}, Options(), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(child.IsRunning());
}

TEST_F(ProcessTest, OnlyStandardStreamsReachTheTool) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // As another thread might leave it: inheritable, high, not the tool's business.
    ASSERT_EQ(::dup2(fds[0], 77), 77);
    ASSERT_EQ(::access("/proc/self/fd/77", F_OK), 0);
    // Our own standard input is often /dev/null already; make it something else.
    const int savedStdin = ::dup(STDIN_FILENO);
    ASSERT_EQ(::dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
    Tool("streams", "[ -e /proc/$$/fd/77 ] && echo leaked\n"
                    "[ -e /proc/$$/fd/2 ] || echo no-stderr\n"
                    "readlink /proc/$$/fd/0\n"
                    "echo out\n");
    EXPECT_EQ(Output({"streams"}), "/dev/null\nout\n");
    ::dup2(savedStdin, STDIN_FILENO);
    ::close(savedStdin);
    ::close(77);
    ::close(fds[0]);
    ::close(fds[1]);

    // Read in a subshell: the shell may run its last command in its own process.
    Tool("where", "fd1=$(readlink /proc/$$/fd/1)\necho \"$fd1\" > \"${0%/*}/where\"\n");
    EXPECT_EQ(Run({"where"}, Options()), 0);
    EXPECT_EQ(testwav::ReadFile(dir / "where"), "/dev/null\n");
}

// A tool's descriptors as /proc shows them from outside, once it has become sleep (the
// shell keeps its script open) and sleep's own start has closed what it reads.
std::vector<std::string> DescriptorsOfSleepingTool(pid_t tool) {
    const std::string proc = "/proc/" + std::to_string(tool);
    std::vector<std::string> names;
    PollUntil([&] {
        std::error_code ec;
        return fs::read_symlink(proc + "/exe", ec).filename() == "sleep";
    });
    for (int i = 0; i < 400; ++i) {
        names.clear();
        std::error_code ec;
        for (const fs::directory_entry& e : fs::directory_iterator(proc + "/fd", ec)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        if (names.size() <= 3) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return names;
}

TEST_F(ProcessTest, DescriptorsOtherThreadsOpenWhileAToolStartsStayOut) {
    // Another thread keeps inheritable descriptors open and churning the whole time, as a
    // lane's engine or a library might; none may reach a tool started meanwhile.
    std::atomic<bool> done{false};
    std::thread opener([&] {
        std::vector<int> held;
        while (!done.load()) {
            int fds[2];
            if (::pipe(fds) == 0) {
                held.push_back(fds[0]);
                held.push_back(fds[1]);
            }
            while (held.size() > 16) {
                ::close(held.front());
                held.erase(held.begin());
            }
        }
        for (const int fd : held) {
            ::close(fd);
        }
    });
    Tool("sleeper", "echo $$ > \"${0%/*}/pid.$1\"\nexec sleep 30\n");
    for (int round = 0; round < 10; ++round) {
        ChildProcess child;
        std::string error;
        const bool started = child.Start({"sleeper", std::to_string(round)}, Options(), &error);
        EXPECT_TRUE(started) << error;
        if (!started) {
            break;
        }
        pid_t tool = 0;
        ASSERT_TRUE(PollUntil(
            [&] { return (tool = WrittenPid(dir / ("pid." + std::to_string(round)))) > 0; }));
        const std::vector<std::string> descriptors = DescriptorsOfSleepingTool(tool);
        ::kill(tool, SIGKILL);
        EXPECT_EQ(child.Wait(), SIGNALLED_EXIT_BASE - SIGKILL);
        EXPECT_EQ(descriptors, (std::vector<std::string>{"0", "1", "2"})) << "round " << round;
    }
    done.store(true);
    opener.join();
}

TEST_F(ProcessTest, WorkingFolderIsEnteredOrStartFails) {
    Tool("pwd", "pwd\n");
    fs::create_directory(dir / "work dir");
    EXPECT_EQ(Output({"pwd"}, dir / "work dir"), fs::canonical(dir / "work dir").string() + "\n");

    ChildProcess child;
    std::string error;
    EXPECT_FALSE(child.Start(
        {"pwd"},
        [&] {
            ProcessOptions options = Options();
            options.workingFolder = dir / "missing";
            return options;
        }(),
        &error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
    EXPECT_FALSE(child.IsRunning());
    EXPECT_EQ(child.Wait(), -1);
    EXPECT_TRUE(NoChildren());
}

TEST_F(ProcessTest, ExitCodesMapStatusAndSignals) {
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {"exit 0", 0},
        {"exit 2", 2},
        {"exit 255", 255},
        {"kill -INT $$; exit 3", INTERRUPTED_EXIT_CODE},
        {"kill -TERM $$; exit 3", INTERRUPTED_EXIT_CODE},
        {"kill -KILL $$; exit 3", SIGNALLED_EXIT_BASE - SIGKILL},
        {"kill -SEGV $$; exit 3", SIGNALLED_EXIT_BASE - SIGSEGV},
    };
    for (const auto& [body, code] : cases) {
        Tool("code", body + "\n");
        EXPECT_EQ(Run({"code"}, Options()), code) << body;
    }
}

// The CLI blocks SIGTERM for sigwait, and a shell may start us with SIGINT ignored; tools
// inheriting either could not be stopped.
TEST_F(ProcessTest, ToolStartsWithDefaultSignalMaskAndDispositions) {
    sigset_t term;
    sigset_t oldMask;
    ::sigemptyset(&term);
    ::sigaddset(&term, SIGTERM);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &term, &oldMask), 0);
    struct sigaction ignore {};
    struct sigaction oldInt {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGINT, &ignore, &oldInt), 0);

    Tool("term", "kill -TERM $$; exit 3\n");
    Tool("int", "kill -INT $$; exit 3\n");
    const int32_t termCode = Run({"term"}, Options());
    const int32_t intCode = Run({"int"}, Options());

    ::sigaction(SIGINT, &oldInt, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    EXPECT_EQ(termCode, INTERRUPTED_EXIT_CODE);
    EXPECT_EQ(intCode, INTERRUPTED_EXIT_CODE);
}

TEST_F(ProcessTest, StartFailsLeavingNothingBehind) {
    testwav::WriteText(dir / "plain", "#!/bin/sh\nexit 0\n");
    fs::create_directory(dir / "folder");
    // Executable bit but no program inside: exec itself fails.
    testwav::WriteText(dir / "junk", "not a program\n");
    ::chmod((dir / "junk").c_str(), 0755);
    for (const std::vector<std::string>& argv :
         std::vector<std::vector<std::string>>{{}, {"missing"}, {"plain"}, {"folder"}, {"junk"}}) {
        ChildProcess child;
        std::string error;
        EXPECT_FALSE(child.Start(argv, Options(), &error));
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(child.IsRunning());
        EXPECT_EQ(child.Wait(), -1);
        EXPECT_TRUE(NoChildren()) << error;
    }
}

TEST_F(ProcessTest, TerminateStopsToolAndItsChildren) {
    Tool("tree", "echo $$ > \"${0%/*}/tool.pid\"\nsleep 1000 &\n"
                 "echo $! > \"${0%/*}/child.pid\"\nwait\n");
    ChildProcess child;
    ASSERT_TRUE(child.Start({"tree"}, Options()));
    EXPECT_TRUE(child.IsRunning());
    std::string error;
    EXPECT_FALSE(child.Start({"tree"}, Options(), &error)) << "two tools at once";
    pid_t grandchild = 0;
    ASSERT_TRUE(PollUntil([&] { return (grandchild = WrittenPid(dir / "child.pid")) > 0; }));

    bool stopped = false;
    EXPECT_EQ(WaitWhileTerminating(child, 5000, WrittenPid(dir / "tool.pid"), &stopped),
              TERMINATED_EXIT_CODE);
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(PollUntil([&] { return Gone(grandchild); }));
    if (!Gone(grandchild)) {
        ::kill(grandchild, SIGKILL); // it would hold the test runner's output pipe open
    }

    EXPECT_FALSE(child.Start({"tree"}, Options(), &error));
    EXPECT_FALSE(child.IsRunning());
    EXPECT_TRUE(NoChildren());
}

TEST_F(ProcessTest, TerminateKillsToolThatIgnoresTerm) {
    Tool("stubborn", "trap '' TERM\necho $$ > \"${0%/*}/ready\"\nwhile :; do sleep 1; done\n");
    ChildProcess child;
    ASSERT_TRUE(child.Start({"stubborn"}, Options()));
    pid_t tool = 0;
    ASSERT_TRUE(PollUntil([&] { return (tool = WrittenPid(dir / "ready")) > 0; }));
    bool stopped = false;
    EXPECT_EQ(WaitWhileTerminating(child, 200, tool, &stopped), TERMINATED_EXIT_CODE);
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(child.IsRunning());
}

TEST_F(ProcessTest, TerminateWhenIdleOnlyRefusesLaterStarts) {
    Tool("quick", "exit 0\n");
    ChildProcess child;
    ASSERT_TRUE(child.Start({"quick"}, Options()));
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_FALSE(child.Terminate(0));
    EXPECT_FALSE(child.Terminate(0));
    std::string error;
    EXPECT_FALSE(child.Start({"quick"}, Options(), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(child.Wait(), -1);
}

// The worker starts and waits for tools back to back while the exit path strikes at any
// moment: every tool is reaped, each result is its own or the terminated code, and no
// tool starts after Terminate has returned.
TEST_F(ProcessTest, TerminateRacesStartAndWait) {
    Tool("quick", "echo run >> \"${0%/*}/runs\"\nexit 7\n");
    const ProcessOptions options = Options();
    for (int round = 0; round < 25; ++round) {
        ChildProcess child;
        std::vector<int32_t> codes;
        std::thread worker([&] {
            while (child.Start({"quick"}, options)) {
                codes.push_back(child.Wait());
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 6 * 2));
        std::thread secondExitPath([&] { child.Terminate(1000); });
        child.Terminate(1000);
        EXPECT_FALSE(child.IsRunning());
        const std::size_t runsAtExit = testwav::ReadFile(dir / "runs").size();
        EXPECT_FALSE(child.Start({"quick"}, options));
        secondExitPath.join();
        worker.join();
        EXPECT_EQ(testwav::ReadFile(dir / "runs").size(), runsAtExit) << "ran after Terminate";
        for (const int32_t code : codes) {
            EXPECT_TRUE(code == 7 || code == TERMINATED_EXIT_CODE) << code;
        }
        EXPECT_TRUE(NoChildren());
    }
}

} // namespace
