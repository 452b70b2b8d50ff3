// Starting, waiting for and stopping the one external tool that runs at a time. A tool is
// started from an argument vector, without a shell, in a process group of its own; the
// record of the running tool (ChildProcess) is shared between the thread that waits for
// it and the exit path that may stop it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kestrun {

// Exit code of a tool stopped by ChildProcess::Terminate (the exit path).
constexpr int32_t TERMINATED_EXIT_CODE = 1001;
// Exit code of a tool interrupted by SIGINT or SIGTERM from elsewhere (0xC000013A).
constexpr int32_t INTERRUPTED_EXIT_CODE = -1073741510;
// The exit paths' grace between SIGTERM and SIGKILL: long enough for an adapter's trap to
// delete its scratch files, short enough for the program to end within a second.
constexpr int STOP_GRACE_MS = 250;
// A tool ended by any other signal reports SIGNALLED_EXIT_BASE - signal number
// (SIGKILL from elsewhere: -1009, SIGSEGV: -1011), which no tool's own exit status can be.
constexpr int32_t SIGNALLED_EXIT_BASE = -1000;

// The folders a tool is looked up in when none are given: the program's own folder, the
// current folder, then the folders of PATH.
std::vector<std::string> DefaultToolFolders();

// The absolute path of the first executable regular file named `name` in `folders`,
// searched in order; empty when there is none. A relative folder is taken from the
// current folder. `name` is taken literally (no separator search, no suffix added).
std::string FindProgram(const std::string& name, const std::vector<std::string>& folders);

struct ProcessOptions {
    // Where argv[0] is looked up (FindProgram).
    std::vector<std::string> searchFolders;
    // The tool's current folder; empty means the program's own current folder.
    std::string workingFolder;
    // Descriptor that becomes the tool's standard output; -1 means /dev/null.
    int stdoutFd = -1;
};

// The record of the running tool. Start and Wait are called by the worker thread, one
// tool at a time; Terminate may be called from any thread at any moment.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0], looked up in options.searchFolders, with argv as its arguments.
    // Standard input is /dev/null, standard output options.stdoutFd or /dev/null,
    // standard error the program's own; no other descriptor is passed on; signal mask and
    // dispositions are reset to their defaults. The tool's group is made known to the
    // guardian (Guardian.h) before the tool executes anything, and the tool gets SIGTERM
    // should the thread that started it die first. False, with a reason in *error, when the
    // program is not found, cannot be executed, the working folder cannot be entered, or
    // Terminate has already been called.
    bool Start(const std::vector<std::string>& argv, const ProcessOptions& options,
               std::string* error = nullptr);

    // Waits without a time limit for the started tool and returns its exit code: its exit
    // status, TERMINATED_EXIT_CODE when Terminate stopped it, INTERRUPTED_EXIT_CODE for
    // SIGINT or SIGTERM from elsewhere, SIGNALLED_EXIT_BASE - n for another signal n.
    // What the tool left running in its process group is killed with it. The record is
    // empty again afterwards. Returns -1 when no tool was started.
    int32_t Wait();

    // The exit path: stops the running tool and every process of its group (SIGTERM, then
    // SIGKILL after graceMs), and refuses every later Start. Never signals anything once
    // the tool has been reaped. True when a tool was running.
    bool Terminate(int graceMs = STOP_GRACE_MS);

    bool IsRunning() const;

    // Whether the started tool has ended, without waiting and without collecting it: Wait
    // still returns its exit code. True when no tool was started.
    bool HasEnded() const;

private:
    mutable std::mutex mutex_;
    std::intptr_t pid_ = 0;   // the running tool, also its process group; 0 when none
    uint64_t generation_ = 0; // counts started tools, so Terminate knows which one it hit
    bool terminated_ = false; // the running tool was stopped by Terminate
    bool closed_ = false;     // Terminate was called: no further tool starts
};

} // namespace kestrun
