// kestrun-cli: the headless front end. Runs each FILE (or each file of a FILE folder) through
// the same job queue and worker as the window (decoder, mono conversion, normalisation,
// load), then a detector, and writes its SRT; one line per SRT on standard output, one line
// per failure on standard error, in the order of the files whatever -j does. Ctrl-C stops
// the running tools (or the speech model), deletes their partial WAVs and exits with 130.
#include <CLI/CLI.hpp>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Batch.h"
#include "FileList.h"
#include "JobQueue.h"
#include "Numbers.h"
#include "Process.h"
#include "Runners.h"
#include "StopRequest.h"

namespace {

using kestrun::cli::Detector;
using kestrun::cli::EventQueue;

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

// The settings file keeps at most this many characters of the besweet gain text.
constexpr std::size_t AZID_GAIN_MAX_CHARS = 5;

int UsageError(const std::string& message) {
    std::cerr << "kestrun-cli: " << message << "\nRun with --help for more information.\n";
    return EXIT_USAGE;
}

// Raised by Ctrl-C, so a speech model run in progress stops between two batches and no
// further file starts.
std::atomic<bool> g_stopRequested{false};

// Whether a file found in a folder is one the worker would take. After Ctrl-C the probe
// refuses to start, so no file is taken any more.
bool Accepts(const std::string& path, kestrun::ChildProcess& probe,
             const kestrun::ToolSettings& tools) {
    kestrun::RunnerContext context{probe, tools};
    return kestrun::DecoderForJob(*kestrun::MakeJobInfo(path, {}), context).has_value();
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
    int audioStream = 0;
    bool noWav = false;
    int lanes = 1;
    bool recursive = false;
    std::optional<std::string> shardText;

    app.add_option("FILE", files,
                   "audio or video files (wav mp3 aif m4a mp4 aac ogg mpc ac3 avi vob mpa mp2 "
                   "dts wma ape wv flac ofr tta, and what ffmpeg reads), or folders: every file "
                   "in a folder of a type taken, sorted by path, hidden files left out; "
                   "processed in the order given");
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
    app.add_option("--stream", audioStream,
                   "which audio stream of a container to decode, counting audio streams from 0 "
                   "(default 0)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--no-wav", noWav,
                 "delete each decoded WAV once its SRT is written; an existing WAV of the same "
                 "name is left alone, and a WAV given as FILE is never deleted");
    app.add_option("-j,--jobs", lanes,
                   "files worked on at once, each with its own decoder (default 1); the output "
                   "keeps the order of the files")
        ->check(CLI::Range(1, 256));
    app.add_flag("-r,--recursive", recursive,
                 "take the files of a folder's sub-folders too (symbolic links to folders are "
                 "not followed)");
    app.add_option("--shard", shardText,
                   "take only files I, I+N, I+2N ... of the whole list (counting from 0, after "
                   "opening folders), to split a batch across N machines")
        ->type_name("I/N");
    app.set_version_flag("--version", std::string("kestrun-cli ") + KESTRUN_VERSION);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? EXIT_OK : EXIT_USAGE;
    }

    kestrun::cli::Settings settings;
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
    kestrun::cli::Shard shard;
    if (shardText && !kestrun::cli::ParseShard(*shardText, &shard)) {
        return UsageError("--shard '" + *shardText + "': expected I/N with 0 <= I < N");
    }
    settings.output = output;
    settings.lanes = lanes;
    settings.audioStream = audioStream;
    settings.keepDecodedWav = !noWav;

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
    // queue and the probe's record are never destroyed: the thread that watches for signals
    // outlives main.
    static EventQueue* const eventQueue = new EventQueue;
    static kestrun::ChildProcess* const probe = new kestrun::ChildProcess;
    kestrun::WatchStopRequests([](int signal) {
        g_stopRequested.store(true);
        eventQueue->Push({0, nullptr, signal});
        probe->Terminate(); // a folder's file being probed
    });

    bool unreadable = false;
    if (!settings.info) {
        files = kestrun::cli::ExpandArguments(
            files, recursive,
            [&toolSettings](const std::string& path) {
                return Accepts(path, *probe, toolSettings);
            },
            [&unreadable](const std::string& folder, const std::string& reason) {
                std::cerr << "kestrun-cli: " << folder << ": cannot read folder: " << reason
                          << '\n';
                unreadable = true;
            });
        if (output && files.size() > 1) {
            return UsageError("--output takes a single FILE");
        }
        files = kestrun::cli::TakeShard(files, shard);
    }
    const int status = kestrun::cli::RunBatch(files, settings, options, toolSettings,
                                              {*eventQueue, g_stopRequested});
    return status == EXIT_OK && unreadable ? EXIT_FAILED : status;
}
