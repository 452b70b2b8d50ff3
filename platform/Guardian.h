// What must not outlive the program: the process groups of the tools it started and the
// working files it writes. A guardian process, started once before any thread, is told of
// each; should the program die without taking them back (SIGKILL, a crash), it stops the
// groups and deletes the files. ExitNow does the same in-process, for an exit that cannot
// wait for threads stuck in a blocking call.
#pragma once

#include <cstdint>
#include <string>

namespace kestrun {

// Starts the guardian, in a session of its own so that a signal to the program's group
// does not reach it. Call once, before any other thread exists. False when it cannot be
// started: the program then runs without one (a tool still gets SIGTERM when the thread
// that started it dies).
bool StartGuardian();

// A file the program is writing and must not leave behind: deleted on a sudden end until
// released. A relative path is taken from the current folder at the time of the call.
void GuardFile(const std::string& path);
// The file has been renamed, deleted or handed on. Nothing happens for a file not guarded.
void ReleaseFile(const std::string& path);

// For ChildProcess: the process group of a started tool, recorded once the tool runs and
// released before it is reaped, while its number cannot have been taken by another.
void GuardGroup(std::intptr_t group);
void ReleaseGroup(std::intptr_t group);
// The guardian's end, over which a starting tool names its own group before it executes
// anything; -1 without a guardian.
int GuardianDescriptor();
// What the starting tool sends over it, between fork and exec: async-signal-safe, and a
// no-op for -1. Its own group is named before it can start anything, so nothing it starts
// escapes the guardian.
void AnnounceGroup(int descriptor, std::intptr_t group);

// Ends the program at once with `status`, whatever its threads are blocked in: every
// guarded tool group gets SIGTERM and, after graceMs, SIGKILL; every guarded file is
// deleted; `message` goes to standard error unless that would have to wait (a pipe nobody
// reads); no destructor runs. Safe from any thread, and from a second thread while the
// first is at it (the second waits for the end).
[[noreturn]] void ExitNow(int status, int graceMs, const std::string& message = {});

} // namespace kestrun
