// The lanes of a batch, the main thread's handling of each result, and the exit path.
#include "Batch.h"

#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <system_error>
#include <thread>

#include "File.h"
#include "Guardian.h"
#include "Numbers.h"
#include "Output.h"
#include "Path.h"
#include "Process.h"
#include "ResultCodes.h"
#include "SharedEngine.h"
#include "SpeechModelPath.h"
#include "SpeechWorker.h"
#include "Srt.h"
#include "WrkThread.h"

namespace kestrun::cli {
namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_SIGNAL_BASE = 128; // 130 after Ctrl-C, as shells report it
// How long the exit path waits for the workers once their tools are stopped: a worker
// still running then is stuck in a blocking call (an open of a FIFO) and is left behind.
constexpr auto STOP_JOIN_WAIT = std::chrono::milliseconds(400);

// How often the progress line's clock moves while no file ends.
constexpr auto PROGRESS_TICK = std::chrono::seconds(1);

std::string FileErrorLine(const std::string& file, const std::string& message) {
    return "kestrun-cli: " + file + ": " + message + "\n";
}

// The command line's stand-in for the main window: results go to the main thread's queue,
// tagged with their lane. Always alive: on the exit path a result still carries a WAV to
// delete.
class CliReceiver : public IJobReceiver {
public:
    CliReceiver(EventQueue& events, std::size_t lane) : events_(events), lane_(lane) {}
    void SetTitle(const std::string&) override {}
    bool IsAlive() const override { return true; }
    void Deliver(std::unique_ptr<JobResult> result) override {
        events_.Push({lane_, std::move(result), 0});
    }

private:
    EventQueue& events_;
    std::size_t lane_;
};

// One file at a time through a worker of its own, as the window runs them, with an engine
// of its own so that its load waits for no other lane's detection.
struct Lane {
    Lane(EventQueue& events, std::size_t index, const ToolSettings& tools)
        : receiver(events, index), worker(engine, childProcess, exitSignal, receiver, tools),
          queue([this](std::unique_ptr<JobInfo> job) {
              worker.PostCommand(JOB_CMD_RUN, std::move(job));
          }) {}

    SharedEngine engine;
    ChildProcess childProcess;
    ExitSignal exitSignal;
    CliReceiver receiver;
    CWrkThread worker;
    JobQueue queue;
    std::optional<std::size_t> file; // the file list's index of the running job
};

class Batch {
public:
    Batch(const std::vector<std::string>& files, const Settings& settings,
          const JobOptions& options, const ToolSettings& tools, StopChannel stop)
        : files_(files), settings_(settings), options_(options), tools_(tools), stop_(stop),
          progress_(isatty(STDERR_FILENO) == 1), output_(files.size(), progress_) {
        // The model is read with the first file that needs it and kept for the others.
        if (settings_.detector == Detector::Speech) {
            analyse_ = ModelAnalyser(FindSpeechModel(settings_.toolFolders));
        }
    }

    int Run();

private:
    void Dispatch(Lane& lane);
    void Handle(Event& done);
    bool AnalyseLoaded(Lane& lane, const JobResult& result, std::size_t file);
    bool HandleLoaded(Lane& lane, const JobResult& result, std::size_t file);
    void DeleteTemporaryWav(const JobResult& result, std::size_t file) const;
    int Stop(int signal);
    void ShowProgress();

    const std::vector<std::string>& files_;
    const Settings& settings_;
    const JobOptions& options_;
    const ToolSettings& tools_;
    StopChannel stop_;
    ProgressLine progress_;
    OrderedOutput output_;
    SpeechAnalyser analyse_;
    std::vector<std::unique_ptr<Lane>> lanes_;
    std::size_t next_ = 0; // the first file not handed to a lane
    std::size_t busy_ = 0; // lanes with a job
    bool failed_ = false;
};

int Batch::Run() {
    const std::size_t laneCount =
        std::min(files_.size(), static_cast<std::size_t>(std::max(settings_.lanes, 1)));
    for (std::size_t i = 0; i < laneCount; ++i) {
        auto lane = std::make_unique<Lane>(stop_.events, i, tools_);
        if (!lane->worker.Start()) {
            if (lanes_.empty()) {
                output_.ErrNow(Tr("kestrun-cli: не запустился рабочий поток\n"));
                return EXIT_FAILED;
            }
            break; // fewer lanes than asked for still do the work
        }
        lanes_.push_back(std::move(lane));
        Dispatch(*lanes_.back());
    }
    ShowProgress();

    // A stop that ended the speech model's run on this thread still has its event to come.
    while (busy_ > 0 || stop_.requested.load()) {
        Event event = progress_.active()
                          ? stop_.events.PopUntil(std::chrono::steady_clock::now() + PROGRESS_TICK)
                          : stop_.events.Pop();
        if (event.result) {
            Handle(event);
        } else if (event.signal != 0) {
            return Stop(event.signal);
        }
        ShowProgress();
    }
    progress_.Clear();
    for (const std::unique_ptr<Lane>& lane : lanes_) {
        lane->worker.PostCommand(JOB_CMD_QUIT);
        lane->worker.Join();
    }
    return failed_ ? EXIT_FAILED : EXIT_OK;
}

void Batch::Dispatch(Lane& lane) {
    if (next_ >= files_.size() || stop_.requested.load()) {
        return;
    }
    const std::size_t index = next_++;
    std::unique_ptr<JobInfo> job = MakeJobInfo(files_[index], options_);
    if (settings_.output) {
        // -o talk.srt: the SRT is talk.srt and a decoded WAV talk.wav (talk.vtt, talk.csv
        // ... in the other formats).
        std::string_view base = *settings_.output;
        const std::string_view extension = CueFormatExtension(settings_.format);
        if (PathFindExtension(base) == extension) {
            base.remove_suffix(extension.size());
        }
        job->outputBase = base;
    }
    job->audioStream = settings_.audioStream;
    job->keepDecodedWav = settings_.keepDecodedWav;
    lane.file = index;
    ++busy_;
    lane.queue.Enqueue(std::move(job));
}

void Batch::Handle(Event& done) {
    Lane& lane = *lanes_[done.lane];
    const std::size_t file = lane.file.value_or(0);
    const JobResult& result = *done.result;
    bool ok = false;
    if (result.code == RESULT_OK) {
        ok = (settings_.detector != Detector::Speech || settings_.info ||
              AnalyseLoaded(lane, result, file)) &&
             HandleLoaded(lane, result, file);
    } else {
        std::string message = ResultMessage(result.code);
        if (!result.detail.empty()) {
            message += ": " + result.detail;
        }
        output_.Err(file, FileErrorLine(files_[file], message));
    }
    DeleteTemporaryWav(result, file);
    failed_ = failed_ || !ok;
    output_.Finish(file);
    lane.file.reset();
    --busy_;
    lane.queue.OnJobDone();
    Dispatch(lane);
}

// The speech model's probabilities for the file a job loaded, kept with that load. False
// after a message, or quietly when a stop request ended the run.
bool Batch::AnalyseLoaded(Lane& lane, const JobResult& result, std::size_t file) {
    SpeechRunOptions options;
    options.threads = settings_.threads;
    options.cancel = &stop_.requested;
    SpeechAnalysis analysis = analyse_(result.wavPath, options);
    if (analysis.cancelled) {
        return false;
    }
    if (!analysis.ok) {
        output_.Err(file, FileErrorLine(files_[file], analysis.error));
        return false;
    }
    lane.engine.WithLoad(result.loadNumber, [&](CVadEngine& e) {
        e.SetSpeechProbabilities(std::move(analysis.probabilities));
    });
    return true;
}

// What the window does with a loaded job when Generate is pressed, or with --info what it
// shows in its labels. False after a message.
bool Batch::HandleLoaded(Lane& lane, const JobResult& result, std::size_t file) {
    const std::string srtPath =
        settings_.output ? *settings_.output
                         : result.text + std::string(CueFormatExtension(settings_.format));
    DetectionResult run;
    std::string info;
    const bool held = lane.engine.WithLoad(result.loadNumber, [&](CVadEngine& e) {
        if (settings_.info) {
            info = "Sample rate: " + std::to_string(e.header().nSamplesPerSec) + '\n' +
                   "nChannels: " + std::to_string(e.header().nChannels) + '\n' +
                   "Duration: " + FormatTime(static_cast<int32_t>(e.DurationMs())) + '\n';
            run.written = true;
            return;
        }
        e.SetCueFormat(settings_.format);
        switch (settings_.detector) {
        case Detector::Energy:
            run = e.RunEnergyBased(settings_.threshold, srtPath);
            break;
        case Detector::Glitch:
            run = e.RunEnergyGlitch(settings_.threshold, settings_.prefilter, srtPath);
            break;
        case Detector::Speech:
            run = e.RunSpeech(settings_.threshold, srtPath);
            break;
        }
    });
    if (!held) {
        output_.Err(file, FileErrorLine(files_[file], ResultMessage(RESULT_BAD_WAV)));
        return false;
    }
    if (!run.written) {
        const std::string message = settings_.format == CueFormat::Srt
                                        ? Fill(Tr("не удалось записать SRT: %1"), {run.error})
                                        : Fill(Tr("не удалось записать файл %1: %2"),
                                               {CueFormatName(settings_.format), run.error});
        output_.Err(file, FileErrorLine(files_[file], message));
        return false;
    }
    output_.Out(file,
                settings_.info ? info : srtPath + ": " + std::to_string(run.cues) + " cues\n");
    return true;
}

void Batch::DeleteTemporaryWav(const JobResult& result, std::size_t file) const {
    // The input itself is never deleted, whatever a result says.
    if (result.wavIsTemporary && !result.wavPath.empty() && result.wavPath != files_[file]) {
        DeleteFileIfAny(result.wavPath);
        ReleaseFile(result.wavPath);
    }
}

// The exit path: no result is wanted any more, no further job starts, every lane's running
// tool is stopped (its runner deletes the partial WAV), the workers end. A worker stuck in
// a blocking call is not waited for: the program ends without it (ExitNow deletes what it
// was writing).
int Batch::Stop(int signal) {
    for (const std::unique_ptr<Lane>& lane : lanes_) {
        lane->exitSignal.Raise();
        lane->worker.PostCommand(JOB_CMD_QUIT);
    }
    // Terminate waits for its tool to end: side by side, a tool slow to die holds up the
    // exit once, not once per lane.
    std::vector<std::thread> stoppers;
    for (const std::unique_ptr<Lane>& lane : lanes_) {
        ChildProcess* child = &lane->childProcess;
        try {
            stoppers.emplace_back([child] { child->Terminate(STOP_GRACE_MS); });
        } catch (const std::system_error&) {
            child->Terminate(STOP_GRACE_MS);
        }
    }
    for (std::thread& stopper : stoppers) {
        stopper.join();
    }
    const auto deadline = std::chrono::steady_clock::now() + STOP_JOIN_WAIT;
    bool stuck = false;
    for (const std::unique_ptr<Lane>& lane : lanes_) {
        stuck = !lane->worker.JoinUntil(deadline) || stuck;
        lane->queue.DropQueued();
    }
    // Jobs that ended meanwhile still reported: their decoded WAVs are not wanted either.
    for (Event event = stop_.events.TryPop(); event.result || event.signal != 0;
         event = stop_.events.TryPop()) {
        if (event.result) {
            DeleteTemporaryWav(*event.result, lanes_[event.lane]->file.value_or(0));
        }
    }
    output_.FlushFinished();
    if (!stop_.reported.exchange(true)) {
        output_.ErrNow(InterruptedLine());
    }
    if (stuck) {
        ExitNow(EXIT_SIGNAL_BASE + signal, STOP_GRACE_MS);
    }
    return EXIT_SIGNAL_BASE + signal;
}

// The earliest file still running is the one the output waits for.
void Batch::ShowProgress() {
    std::optional<std::size_t> current;
    for (const std::unique_ptr<Lane>& lane : lanes_) {
        if (lane->file && (!current || *lane->file < *current)) {
            current = lane->file;
        }
    }
    const std::string_view name = current ? PathFindFileName(files_[*current]) : "";
    progress_.Show(output_.finishedFiles(), files_.size(), name);
}

} // namespace

void EventQueue::Push(Event event) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    wake_.notify_one();
}

Event EventQueue::Pop() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return !events_.empty(); });
    Event event = std::move(events_.front());
    events_.pop_front();
    return event;
}

Event EventQueue::PopUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (!wake_.wait_until(lock, deadline, [this] { return !events_.empty(); })) {
        return {};
    }
    Event event = std::move(events_.front());
    events_.pop_front();
    return event;
}

Event EventQueue::TryPop() {
    std::lock_guard lock(mutex_);
    if (events_.empty()) {
        return {};
    }
    Event event = std::move(events_.front());
    events_.pop_front();
    return event;
}

int RunBatch(const std::vector<std::string>& files, const Settings& settings,
             const JobOptions& options, const ToolSettings& tools, StopChannel stop) {
    if (files.empty() && !stop.requested.load()) {
        return EXIT_OK;
    }
    Batch batch(files, settings, options, tools, stop);
    return batch.Run();
}

} // namespace kestrun::cli
