// kestrun-cli: the headless front end. Runs each FILE through the same job queue and worker
// as the window (decoder, mono conversion, normalisation, load), then a detector, and
// writes its SRT; one line per SRT on standard output, one line per failure on standard
// error. Ctrl-C stops the running tool (or the speech model), deletes its partial WAV and
// exits with 130.
#include <CLI/CLI.hpp>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "JobQueue.h"
#include "Numbers.h"
#include "Path.h"
#include "ResultCodes.h"
#include "SharedEngine.h"
#include "SpeechModelPath.h"
#include "SpeechWorker.h"
#include "Srt.h"
#include "StopRequest.h"
#include "WrkThread.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_SIGNAL_BASE = 128; // 130 after Ctrl-C, as shells report it

// The settings file keeps at most this many characters of the besweet gain text.
constexpr std::size_t AZID_GAIN_MAX_CHARS = 5;

int UsageError(const std::string& message) {
    std::cerr << "kestrun-cli: " << message << "\nRun with --help for more information.\n";
    return EXIT_USAGE;
}

void FileError(const std::string& file, const std::string& message) {
    std::cerr << "kestrun-cli: " << file << ": " << message << '\n';
}

// What the main thread waits for: a job's result from the worker, or a signal.
struct Interrupt {
    int signal;
};
using Event = std::variant<std::unique_ptr<kestrun::JobResult>, Interrupt>;

class EventQueue {
public:
    void Push(Event event) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
        }
        wake_.notify_one();
    }
    Event Pop() {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return !events_.empty(); });
        Event event = std::move(events_.front());
        events_.pop_front();
        return event;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Event> events_;
};

// The command line's stand-in for the main window: results go to the main thread's queue.
class CliReceiver : public kestrun::IJobReceiver {
public:
    explicit CliReceiver(EventQueue& events) : events_(events) {}
    void SetTitle(const std::string&) override {}
    bool IsAlive() const override { return alive_.load(); }
    void Deliver(std::unique_ptr<kestrun::JobResult> result) override {
        events_.Push(std::move(result));
    }
    void Close() { alive_.store(false); }

private:
    EventQueue& events_;
    std::atomic<bool> alive_{true};
};

enum class Detector { Energy, Glitch, Speech };

struct Settings {
    Detector detector = Detector::Energy;
    double threshold = 0;
    double prefilter = 0;
    std::optional<std::string> output;
    bool info = false;
    int threads = 1;
    std::vector<std::string> toolFolders;
};

// Raised by Ctrl-C, so a speech model run in progress stops between two batches.
std::atomic<bool> g_stopSpeech{false};

// The speech model's probabilities for the file a job loaded, kept with that load. False
// after a message on standard error, or quietly when Ctrl-C stopped the run.
bool AnalyseLoaded(kestrun::SharedEngine& engine, const kestrun::JobResult& result,
                   const std::string& file, const Settings& settings,
                   const kestrun::SpeechAnalyser& analyse) {
    kestrun::SpeechRunOptions options;
    options.threads = settings.threads;
    options.cancel = &g_stopSpeech;
    kestrun::SpeechAnalysis analysis = analyse(result.wavPath, options);
    if (analysis.cancelled) {
        return false;
    }
    if (!analysis.ok) {
        FileError(file, analysis.error);
        return false;
    }
    engine.WithLoad(result.loadNumber, [&](kestrun::CVadEngine& e) {
        e.SetSpeechProbabilities(std::move(analysis.probabilities));
    });
    return true;
}

void PrintInfo(const kestrun::CVadEngine& engine) {
    std::cout << "Sample rate: " << engine.header().nSamplesPerSec << '\n'
              << "nChannels: " << engine.header().nChannels << '\n'
              << "Duration: " << kestrun::FormatTime(static_cast<int32_t>(engine.DurationMs()))
              << '\n';
}

// What the window does with a loaded job when Generate is pressed, or with --info what it
// shows in its labels. False after a message on standard error.
bool HandleLoaded(kestrun::SharedEngine& engine, const kestrun::JobResult& result,
                  const std::string& file, const Settings& settings) {
    const std::string srtPath = settings.output ? *settings.output : result.text + ".srt";
    kestrun::DetectionResult run;
    const bool held = engine.WithLoad(result.loadNumber, [&](kestrun::CVadEngine& e) {
        if (settings.info) {
            PrintInfo(e);
            run.written = true;
            return;
        }
        switch (settings.detector) {
        case Detector::Energy:
            run = e.RunEnergyBased(settings.threshold, srtPath);
            break;
        case Detector::Glitch:
            run = e.RunEnergyGlitch(settings.threshold, settings.prefilter, srtPath);
            break;
        case Detector::Speech:
            run = e.RunSpeech(settings.threshold, srtPath);
            break;
        }
    });
    if (!held) {
        FileError(file, kestrun::ResultMessage(kestrun::RESULT_BAD_WAV));
        return false;
    }
    if (!run.written) {
        FileError(file, "cannot write SRT: " + run.error);
        return false;
    }
    if (!settings.info) {
        std::cout << srtPath << ": " << run.cues << " cues" << std::endl;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Finds the speech in audio and video files and writes SRT timing files whose "
                 "cues carry their own number as text. Files other than WAV are decoded to "
                 "a WAV beside the SRT by an external decoder first.",
                 "kestrun-cli"};
    std::vector<std::string> files;
    std::string detector = "energy";
    std::optional<std::string> thresholdText;
    std::string prefilterText = "0.005";
    std::optional<std::string> output;
    std::optional<std::string> outDir;
    std::optional<std::string> infoFile;
    bool mono = false;
    int normMode = 0;
    int gain = 0;
    std::string azidGain;
    std::vector<std::string> toolDirs;

    app.add_option("FILE", files,
                   "audio or video files (wav mp3 aif m4a mp4 aac ogg mpc ac3 avi vob mpa mp2 "
                   "dts wma ape wv flac ofr tta), processed in the order given");
    app.add_option("-d,--detector", detector,
                   "energy (default), glitch, or speech (the speech model: for speech under "
                   "music and effects)")
        ->check(CLI::IsMember({"energy", "glitch", "speech"}));
    app.add_option("-t,--threshold", thresholdText,
                   "detection threshold, 0 to 1 (default 0.045 energy, 0.0015 glitch, 0.5 "
                   "speech)");
    app.add_option("-p,--prefilter", prefilterText,
                   "energy prefilter of the glitch detector, 0 to 1 (default 0.005)");
    app.add_option("-o,--output", output,
                   "SRT path (a single FILE only); a decoded WAV goes beside it");
    app.add_option("--out-dir", outDir, "folder for the SRT and decoded WAV files (must exist)");
    app.add_option("--info", infoFile, "print sample rate, channels and duration of a file");
    app.add_flag("--mono", mono, "mix a stereo WAV down to mono first (rewrites the WAV)");
    app.add_option("--norm", normMode,
                   "ReplayGain normalisation: 0 none (default), 1 radio, 2 radio with dither "
                   "without noise shaping, 3/4/5 with light/medium/heavy noise shaping")
        ->check(CLI::Range(0, 5));
    app.add_option("--gain", gain, "extra gain of the normalisation in dB, -12 to 12")
        ->check(CLI::Range(-12, 12));
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    int threads = cores;
    app.add_option("--threads", threads, "threads of the speech model (default: all cores)")
        ->check(CLI::Range(1, 256));
    app.add_option("--azid-gain", azidGain, "gain text for besweet's -azid( -g G ) option");
    app.add_option("--tool-dir", toolDirs,
                   "look for the decoder programs and the speech model in DIR only "
                   "(repeatable; default: the program's folder, the current folder, then PATH)")
        ->allow_extra_args(false); // one DIR per --tool-dir; FILEs may follow
    app.set_version_flag("--version", std::string("kestrun-cli ") + KESTRUN_VERSION);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? EXIT_OK : EXIT_USAGE;
    }

    Settings settings;
    if (infoFile) {
        if (!files.empty()) {
            return UsageError("--info takes one FILE and no others");
        }
        files.push_back(*infoFile);
        settings.info = true;
    }
    if (files.empty()) {
        return UsageError("no FILE given");
    }

    settings.detector = detector == "glitch"   ? Detector::Glitch
                        : detector == "speech" ? Detector::Speech
                                               : Detector::Energy;
    settings.threshold = settings.detector == Detector::Glitch ? kestrun::DEFAULT_GLITCH_THRESHOLD
                         : settings.detector == Detector::Speech
                             ? kestrun::DEFAULT_SPEECH_THRESHOLD
                             : kestrun::DEFAULT_ENERGY_THRESHOLD;
    settings.threads = threads;
    settings.toolFolders = toolDirs;
    settings.prefilter = kestrun::DEFAULT_GLITCH_PREFILTER;
    if (thresholdText && !kestrun::ParseThreshold(*thresholdText, &settings.threshold)) {
        return UsageError("--threshold '" + *thresholdText + "': expected a number from 0 to 1");
    }
    if (!kestrun::ParseThreshold(prefilterText, &settings.prefilter)) {
        return UsageError("--prefilter '" + prefilterText + "': expected a number from 0 to 1");
    }
    if (output && files.size() > 1) {
        return UsageError("--output takes a single FILE");
    }
    if (output && outDir) {
        return UsageError("--output and --out-dir exclude each other");
    }
    if (outDir) {
        std::error_code ec;
        if (!std::filesystem::is_directory(*outDir, ec)) {
            return UsageError("--out-dir '" + *outDir + "': no such folder");
        }
    }
    if (azidGain.size() > AZID_GAIN_MAX_CHARS) {
        return UsageError("--azid-gain '" + azidGain + "': at most 5 characters");
    }
    settings.output = output;

    kestrun::JobOptions options;
    options.makeMono = mono;
    options.gainDb = gain;
    options.normIndex = normMode;
    options.useSrcPath = !outDir;
    options.outputFolder = outDir.value_or("");

    kestrun::ToolSettings toolSettings;
    toolSettings.azidGain = azidGain;
    toolSettings.toolFolders = toolDirs;

    // Ctrl-C becomes an event like a result, and the exit path runs on this thread. The
    // queue is never destroyed: the thread that watches for signals outlives main.
    static EventQueue* const eventQueue = new EventQueue;
    EventQueue& events = *eventQueue;
    kestrun::WatchStopRequests([](int signal) {
        g_stopSpeech.store(true);
        eventQueue->Push(Interrupt{signal});
    });
    // The model is read with the first file that needs it and kept for the others.
    kestrun::SpeechAnalyser analyseSpeech;
    if (settings.detector == Detector::Speech) {
        analyseSpeech = kestrun::ModelAnalyser(kestrun::FindSpeechModel(settings.toolFolders));
    }
    kestrun::SharedEngine engine;
    kestrun::ChildProcess childProcess;
    kestrun::ExitSignal exitMutex;
    CliReceiver receiver(events);
    kestrun::CWrkThread worker(engine, childProcess, exitMutex, receiver, toolSettings);
    if (!worker.Start()) {
        std::cerr << "kestrun-cli: cannot start the worker thread\n";
        return EXIT_FAILED;
    }
    kestrun::JobQueue queue([&worker](std::unique_ptr<kestrun::JobInfo> job) {
        worker.PostCommand(kestrun::JOB_CMD_RUN, std::move(job));
    });

    // Results come back in the order the jobs were queued, one per job.
    std::deque<std::string> running;
    for (const std::string& file : files) {
        std::unique_ptr<kestrun::JobInfo> job = kestrun::MakeJobInfo(file, options);
        if (output) {
            // -o talk.srt: the SRT is talk.srt and a decoded WAV talk.wav.
            std::string_view base = *output;
            if (kestrun::PathFindExtension(base) == ".srt") {
                base.remove_suffix(4);
            }
            job->outputBase = base;
        }
        running.push_back(file);
        queue.Enqueue(std::move(job));
    }

    int status = EXIT_OK;
    // A stop that ended the speech model's run on this thread still has its event to come.
    while (queue.pendingJobs() > 0 || g_stopSpeech.load()) {
        Event event = events.Pop();
        if (const Interrupt* stop = std::get_if<Interrupt>(&event)) {
            // The exit path: no result is wanted any more, no further job starts, the
            // running tool is stopped (its runner deletes the partial WAV), the worker ends.
            receiver.Close();
            exitMutex.Raise();
            worker.PostCommand(kestrun::JOB_CMD_QUIT);
            childProcess.Terminate();
            worker.Join();
            queue.DropQueued();
            std::cerr << "kestrun-cli: interrupted\n";
            return EXIT_SIGNAL_BASE + stop->signal;
        }
        const auto& result = std::get<std::unique_ptr<kestrun::JobResult>>(event);
        const std::string file = running.front();
        running.pop_front();
        bool ok = false;
        if (result->code == kestrun::RESULT_OK) {
            ok = (settings.detector != Detector::Speech || settings.info ||
                  AnalyseLoaded(engine, *result, file, settings, analyseSpeech)) &&
                 HandleLoaded(engine, *result, file, settings);
        } else {
            FileError(file, kestrun::ResultMessage(result->code));
        }
        if (!ok) {
            status = EXIT_FAILED;
        }
        queue.OnJobDone();
    }
    worker.PostCommand(kestrun::JOB_CMD_QUIT);
    worker.Join();
    return status;
}
