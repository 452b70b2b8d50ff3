// kestrun-cli's options (CLI11) and the checks CLI11 cannot express. The parser is built
// once per ArgParser: declaring the options costs far more than a parse.
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

// The names --format takes: the engine's own, so a new format needs no change here.
std::vector<std::string> CueFormatNames() {
    std::vector<std::string> names;
    for (const CueFormat format : CUE_FORMAT_LIST) {
        names.emplace_back(CueFormatName(format));
    }
    return names;
}

ParsedArgs UsageError(const std::string& message) {
    ParsedArgs parsed;
    parsed.outcome = ParsedArgs::Outcome::Usage;
    parsed.status = EXIT_USAGE;
    parsed.text = "kestrun-cli: " + message + "\nRun with --help for more information.\n";
    return parsed;
}

// What the options write into; a parse starts from these defaults.
struct Values {
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
    int threads = 1;
    std::string format = "srt";
};

} // namespace

// CLI11 (2.1) keeps a record of every option any parse met, its parse order, and never
// clears it; so a parser kept for many parses is declared anew after this many, or its
// memory would grow with every parse.
constexpr int PARSES_PER_DECLARATION = 1000;

struct ArgParser::Impl {
    std::unique_ptr<CLI::App> parser;
    Values v;
    int defaultThreads = 1;
    int parses = 0; // since the parser was declared

    explicit Impl(int cores) : defaultThreads(std::max(1, cores)) { Declare(); }
    void Declare();
    ParsedArgs Parse(int argc, const char* const* argv);
};

void ArgParser::Impl::Declare() {
    parser = std::make_unique<CLI::App>(
        "Finds the speech in audio and video files and writes SRT timing files whose cues "
        "carry their own number as text. Files other than WAV are decoded to a WAV beside the "
        "SRT by an external decoder first.",
        "kestrun-cli");
    parses = 0;
    CLI::App& app = *parser;
    app.add_option("FILE", v.files,
                   "audio or video files (wav mp3 aif m4a mp4 aac ogg mpc ac3 avi vob mpa mp2 "
                   "dts wma ape wv flac ofr tta, and what ffmpeg reads), or folders: every file "
                   "in a folder of a type taken, sorted by path, hidden files left out; "
                   "processed in the order given");
    app.add_option("-d,--detector", v.detector,
                   "energy (default), glitch, or speech (the speech model: for speech under "
                   "music and effects)")
        ->check(CLI::IsMember({"energy", "glitch", "speech"}));
    app.add_option("-t,--threshold", v.thresholdText,
                   "detection threshold, 0 to 1 (default 0.045 energy, 0.0015 glitch, 0.5 "
                   "speech)");
    app.add_option("-p,--prefilter", v.prefilterText,
                   "energy prefilter of the glitch detector, 0 to 1 (default 0.005)");
    app.add_option("--format", v.format,
                   "what to write: srt (default), vtt (WebVTT), labels (an Audacity label "
                   "track, .txt) or csv (start,end in seconds)")
        ->check(CLI::IsMember(CueFormatNames()));
    app.add_option("-o,--output", v.output,
                   "path of the SRT, or of the --format file (a single FILE only); a decoded "
                   "WAV goes beside it");
    app.add_option("--out-dir", v.outDir, "folder for the SRT and decoded WAV files (must exist)");
    app.add_option("--info", v.infoFile, "print sample rate, channels and duration of a file");
    app.add_flag("--mono", v.mono, "mix a stereo WAV down to mono first (rewrites the WAV)");
    app.add_option("--norm", v.normMode,
                   "ReplayGain normalisation: 0 none (default), 1 radio, 2 radio with dither "
                   "without noise shaping, 3/4/5 with light/medium/heavy noise shaping")
        ->check(CLI::Range(0, 5));
    app.add_option("--gain", v.gain, "extra gain of the normalisation in dB, -12 to 12")
        ->check(CLI::Range(-12, 12));
    app.add_option("--threads", v.threads, "threads of the speech model (default: all cores)")
        ->check(CLI::Range(1, 256));
    app.add_option("--azid-gain", v.azidGain, "gain text for besweet's -azid( -g G ) option");
    app.add_option("--tool-dir", v.toolDirs,
                   "look for the decoder programs and the speech model in DIR only "
                   "(repeatable; default: the program's folder, the current folder, then PATH)")
        ->allow_extra_args(false); // one DIR per --tool-dir; FILEs may follow
    app.add_option("--stream", v.audioStream,
                   "which audio stream of a container to decode, counting audio streams from 0 "
                   "(default 0)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--no-wav", v.noWav,
                 "delete each decoded WAV once its SRT is written; an existing WAV of the same "
                 "name is left alone, and a WAV given as FILE is never deleted");
    app.add_option("-j,--jobs", v.lanes,
                   "files worked on at once, each with its own decoder (default 1); the output "
                   "keeps the order of the files")
        ->check(CLI::Range(1, 256));
    app.add_flag("-r,--recursive", v.recursive,
                 "take the files of a folder's sub-folders too (symbolic links to folders are "
                 "not followed)");
    app.add_option("--shard", v.shardText,
                   "take only files I, I+N, I+2N ... of the whole list (counting from 0, after "
                   "opening folders), to split a batch across N machines")
        ->type_name("I/N");
    app.set_version_flag("--version", std::string("kestrun-cli ") + KESTRUN_VERSION);
}

ParsedArgs ArgParser::Impl::Parse(int argc, const char* const* argv) {
    // Options not given keep what the last parse put in their variables.
    v = Values{};
    v.threads = defaultThreads;
    if (++parses > PARSES_PER_DECLARATION) {
        Declare();
        parses = 1;
    }
    CLI::App& app = *parser;
    app.clear();
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
    if (v.infoFile) {
        if (!v.files.empty()) {
            return UsageError("--info takes one FILE and no others");
        }
        v.files.push_back(*v.infoFile);
        settings.info = true;
    }
    if (v.files.empty()) {
        return UsageError("no FILE given");
    }

    settings.detector = v.detector == "glitch"   ? Detector::Glitch
                        : v.detector == "speech" ? Detector::Speech
                                                 : Detector::Energy;
    settings.threshold = settings.detector == Detector::Glitch   ? DEFAULT_GLITCH_THRESHOLD
                         : settings.detector == Detector::Speech ? DEFAULT_SPEECH_THRESHOLD
                                                                 : DEFAULT_ENERGY_THRESHOLD;
    settings.threads = v.threads;
    settings.toolFolders = v.toolDirs;
    settings.prefilter = DEFAULT_GLITCH_PREFILTER;
    if (v.thresholdText && !ParseThreshold(*v.thresholdText, &settings.threshold)) {
        return UsageError("--threshold '" + *v.thresholdText + "': expected a number from 0 to 1");
    }
    if (!ParseThreshold(v.prefilterText, &settings.prefilter)) {
        return UsageError("--prefilter '" + v.prefilterText + "': expected a number from 0 to 1");
    }
    if (v.output && v.files.size() > 1) {
        return UsageError("--output takes a single FILE");
    }
    if (v.output && v.outDir) {
        return UsageError("--output and --out-dir exclude each other");
    }
    if (v.outDir) {
        std::error_code ec;
        if (!std::filesystem::is_directory(*v.outDir, ec)) {
            return UsageError("--out-dir '" + *v.outDir + "': no such folder");
        }
    }
    if (v.azidGain.size() > AZID_GAIN_MAX_CHARS) {
        return UsageError("--azid-gain '" + v.azidGain + "': at most 5 characters");
    }
    if (v.shardText && !ParseShard(*v.shardText, &options.shard)) {
        return UsageError("--shard '" + *v.shardText + "': expected I/N with 0 <= I < N");
    }
    ParseCueFormat(v.format, &settings.format); // checked by CLI11
    settings.output = v.output;
    settings.lanes = v.lanes;
    settings.audioStream = v.audioStream;
    settings.keepDecodedWav = !v.noWav;

    options.job.makeMono = v.mono;
    options.job.gainDb = v.gain;
    options.job.normIndex = v.normMode;
    options.job.useSrcPath = !v.outDir;
    options.job.outputFolder = v.outDir.value_or("");

    options.tools.azidGain = v.azidGain;
    options.tools.toolFolders = v.toolDirs;
    options.files = std::move(v.files);
    options.recursive = v.recursive;
    return parsed;
}

ArgParser::ArgParser(int cores) : impl_(std::make_unique<Impl>(cores)) {}

ArgParser::~ArgParser() = default;

ParsedArgs ArgParser::Parse(int argc, const char* const* argv) {
    return impl_->Parse(argc, argv);
}

ParsedArgs ParseArgs(int argc, const char* const* argv, int cores) {
    return ArgParser(cores).Parse(argc, argv);
}

} // namespace kestrun::cli
