// kestrun-cli's options (CLI11) and the checks CLI11 cannot express.
#include "Args.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <sstream>
#include <system_error>
#include <utility>

#include "Numbers.h"

namespace kestrun::cli {
namespace {

// The settings file keeps at most this many characters of the besweet gain text.
constexpr std::size_t AZID_GAIN_MAX_CHARS = 5;

ParsedArgs UsageError(const std::string& message) {
    ParsedArgs parsed;
    parsed.outcome = ParsedArgs::Outcome::Usage;
    parsed.status = EXIT_USAGE;
    parsed.text = "kestrun-cli: " + message + "\nRun with --help for more information.\n";
    return parsed;
}

} // namespace

ParsedArgs ParseArgs(int argc, const char* const* argv, int cores) {
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
    int threads = std::max(1, cores);
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
        std::ostringstream out;
        std::ostringstream err;
        const int rc = app.exit(e, out, err);
        ParsedArgs parsed;
        parsed.outcome = rc == 0 ? ParsedArgs::Outcome::Exit : ParsedArgs::Outcome::Usage;
        parsed.status = rc == 0 ? 0 : EXIT_USAGE;
        parsed.text = rc == 0 ? out.str() : err.str();
        return parsed;
    }

    ParsedArgs parsed;
    parsed.outcome = ParsedArgs::Outcome::Run;
    Options& options = parsed.options;
    Settings& settings = options.settings;
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
    settings.threshold = settings.detector == Detector::Glitch   ? DEFAULT_GLITCH_THRESHOLD
                         : settings.detector == Detector::Speech ? DEFAULT_SPEECH_THRESHOLD
                                                                 : DEFAULT_ENERGY_THRESHOLD;
    settings.threads = threads;
    settings.toolFolders = toolDirs;
    settings.prefilter = DEFAULT_GLITCH_PREFILTER;
    if (thresholdText && !ParseThreshold(*thresholdText, &settings.threshold)) {
        return UsageError("--threshold '" + *thresholdText + "': expected a number from 0 to 1");
    }
    if (!ParseThreshold(prefilterText, &settings.prefilter)) {
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
    if (shardText && !ParseShard(*shardText, &options.shard)) {
        return UsageError("--shard '" + *shardText + "': expected I/N with 0 <= I < N");
    }
    settings.output = output;
    settings.lanes = lanes;
    settings.audioStream = audioStream;
    settings.keepDecodedWav = !noWav;

    options.job.makeMono = mono;
    options.job.gainDb = gain;
    options.job.normIndex = normMode;
    options.job.useSrcPath = !outDir;
    options.job.outputFolder = outDir.value_or("");

    options.tools.azidGain = azidGain;
    options.tools.toolFolders = toolDirs;
    options.files = std::move(files);
    options.recursive = recursive;
    return parsed;
}

} // namespace kestrun::cli
