// The records that travel between the window side and the worker, the worker's commands,
// the values both sides share, and the small interface the worker reports through.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrun {

// One queued conversion job. Made by the job queue, owned by the worker once handed over.
struct JobInfo {
    // The file the job works on: the dropped path at first; each decoder runner makes it
    // outputBase + ".wav" before starting its tool, and the steps after decoding work on it.
    std::string sourcePath;
    // Output folder joined with the source's file name without its extension.
    std::string outputBase;
    // The source's extension without the dot, in its own case; empty when there is none.
    std::string extension;
    int32_t gain = 0;     // dB for the normaliser, -12..12
    int32_t normMode = 0; // index of the normalisation list; 0 = none
    int32_t monoFlag = 0; // MONO_FLAG_SET converts to mono; anything else does not
    // Which audio stream of a container is decoded, counting audio streams from 0.
    int32_t audioStream = 0;
    // False: a decoded WAV is not put at outputBase + ".wav" but left under its temporary
    // name and reported with wavIsTemporary, for the caller to delete when done with it;
    // whatever already was at outputBase + ".wav" stays untouched.
    bool keepDecodedWav = true;
};

constexpr int32_t MONO_FLAG_SET = -2;

// The report of one ended job, owned by the receiver once delivered.
struct JobResult {
    int32_t code = 0; // 0: converted and loaded; otherwise a result code (ResultCodes.h)
    // The source's file name while the job runs; its outputBase when delivered.
    std::string text;
    // With code 0: the engine's number for the load this job made (SharedEngine), so the
    // receiver can tell whether the engine still holds it.
    uint64_t loadNumber = 0;
    // With code 0: the WAV file the engine loaded (the speech model reads it again).
    std::string wavPath;
    // wavPath is a decoded WAV under a temporary name (keepDecodedWav was false): the
    // receiver deletes it once it no longer needs it, and releases it (ReleaseFile).
    bool wavIsTemporary = false;
    // With a failure, when known: what the file is and why it was refused, one line
    // ("24-битный WAV с плавающей точкой, 6 каналов"), shown after the code's message.
    std::string detail;
};

// The command identifier a result arrives under (kept for receivers that dispatch on it).
constexpr int32_t JOB_DONE_CMD = 24987;

// Worker commands.
constexpr int JOB_CMD_RUN = 1;
constexpr int JOB_CMD_QUIT = 2;

// The window text while the worker is idle.
constexpr const char* IDLE_TITLE = "Перетащите файл в окно";

// The step a job is in, for a progress display.
enum class JobStep : uint8_t {
    Decode,    // a decoder writes the WAV (and the engine reads it as it grows, if it can)
    Copy,      // a WAV of another layout is copied as 16-bit for mono or normalisation
    Mono,      // mixing to mono
    Normalise, // the normaliser runs
    Load,      // the engine reads the WAV
};

// How far a job has come: its step, and in it the bytes done and all there are (total 0
// while unknown).
struct JobProgress {
    JobStep step = JobStep::Decode;
    uint64_t done = 0;
    uint64_t total = 0;

    bool operator==(const JobProgress&) const = default;
};

// What the worker reports to: the main window, the command line, or a test. Called on
// the worker thread; implementations hand things over to their own thread.
class IJobReceiver {
public:
    virtual ~IJobReceiver() = default;
    virtual void SetTitle(const std::string& title) = 0;
    // A step begins (done and total 0), or has come further: the worker reports a step's
    // start, its end when the total is known, and between them at most ten times a
    // second. Receivers that show none ignore them.
    virtual void SetProgress(const JobProgress& /*progress*/) {}
    // Whether progress is shown at all: only then is a decoder's growing WAV looked at
    // while the job would otherwise just wait for the decoder.
    virtual bool ShowsProgress() const { return false; }
    // False once the receiver is gone (closing): results are then dropped unsent.
    virtual bool IsAlive() const = 0;
    virtual void Deliver(std::unique_ptr<JobResult> result) = 0;
};

// Raised once by the exit path; the worker drops every job it is handed from then on.
// A signal, never a guard for data.
class ExitSignal {
public:
    void Raise() { raised_.store(true, std::memory_order_release); }
    bool IsRaised() const { return raised_.load(std::memory_order_acquire); }

private:
    std::atomic<bool> raised_{false};
};

// The settings the tool runners read, as plain values.
struct ToolSettings {
    // Start tools without a window. Tools have no windows here; kept for the settings file.
    bool hideChildren = false;
    // Extra gain text for besweet's -azid( -g G ) option; empty for none.
    std::string azidGain;
    // Where tools are looked up; empty means DefaultToolFolders().
    std::vector<std::string> toolFolders;

    bool operator==(const ToolSettings&) const = default;
};

} // namespace kestrun
