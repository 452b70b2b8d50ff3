// kestrun-cli's run over its file list: lanes that convert files at once (each with its own
// worker thread, engine and tool), and the main thread's handling of their results as they
// come: detection, SRT, speech model, and deleting the decoded WAVs nobody keeps.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "JobInfo.h"
#include "JobQueue.h"
#include "Srt.h"
#include "Text.h"

namespace kestrun::cli {

enum class Detector { Energy, Glitch, Speech };

struct Settings {
    Detector detector = Detector::Energy;
    double threshold = 0;
    double prefilter = 0;
    std::optional<std::string> output; // -o: the SRT path of the single file
    bool info = false;
    int threads = 1; // of the speech model
    std::vector<std::string> toolFolders;
    int lanes = 1; // files at once
    int32_t audioStream = 0;
    bool keepDecodedWav = true;
    CueFormat format = CueFormat::Srt; // of the file each run writes

    bool operator==(const Settings&) const = default;
};

// What the main thread waits for: a lane's result, or without one the signal of a stop
// request. An event with neither stands for none (a wait that timed out).
struct Event {
    std::size_t lane = 0;
    std::unique_ptr<JobResult> result;
    int signal = 0;
};

class EventQueue {
public:
    void Push(Event event);
    Event Pop();
    // The next event, or an empty one once deadline has passed without one.
    Event PopUntil(std::chrono::steady_clock::time_point deadline);
    // The next event, or an empty one when none is waiting.
    Event TryPop();

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Event> events_;
};

// Where a stop request reaches the run: the flag the speech model polls, raised before the
// signal's event is pushed, and the one raised by whoever writes that the run was
// interrupted (the exit path, or the deadline that ends a program stuck on its way out),
// so that the line comes once.
struct StopChannel {
    EventQueue& events;
    std::atomic<bool>& requested;
    std::atomic<bool>& reported;
};

// The last line of a run ended by a stop request, in the language of the run.
inline const char* InterruptedLine() {
    return Tr("kestrun-cli: прервано\n");
}

// Runs every file and writes its lines, in the order of files. Returns the exit status:
// 0, 1 when any file failed, 128 + signal after a stop request.
int RunBatch(const std::vector<std::string>& files, const Settings& settings,
             const JobOptions& options, const ToolSettings& tools, StopChannel stop);

} // namespace kestrun::cli
