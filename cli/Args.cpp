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
#include "Text.h"

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

// CLI11 says what is wrong in English; in Russian the errors a user meets are said anew
// with the option or arguments CLI11 names; the rarer ones keep CLI11's words.
std::string ParseErrorText(const CLI::ParseError& e) {
    const std::string what = e.what();
    const std::size_t colon = what.find(": ");
    if (colon == std::string::npos) {
        return what;
    }
    const std::string head = what.substr(0, colon);
    const std::string tail = what.substr(colon + 2);
    if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
        return Fill(Tr("лишние аргументы: %1"), {tail});
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
        return Fill(Tr("%1: не хватает значения"), {head});
    }
    if (dynamic_cast<const CLI::ValidationError*>(&e) != nullptr ||
        dynamic_cast<const CLI::ConversionError*>(&e) != nullptr) {
        return Fill(Tr("%1: недопустимое значение"), {head});
    }
    return what;
}

ParsedArgs UsageError(const std::string& message) {
    ParsedArgs parsed;
    parsed.outcome = ParsedArgs::Outcome::Usage;
    parsed.status = EXIT_USAGE;
    parsed.text = UsageText(message);
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
    std::string lang;
};

// CLI11's own words in the help, in the language of the run.
void Localise(CLI::App& app) {
    app.option_defaults()->group(Tr("Параметры"));
    app.set_help_flag("-h,--help", Tr("показать эту справку и выйти"));
    const auto formatter = app.get_formatter();
    formatter->label("Usage", Tr("Использование"));
    formatter->label("OPTIONS", Tr("ПАРАМЕТРЫ"));
    formatter->label("Positionals", Tr("Аргументы"));
}

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
        Tr("Находит речь в звуковых и видеофайлах и пишет файлы субтитров SRT, в которых "
           "текст каждой реплики — её номер. Файлы, кроме WAV, сначала декодируются внешним "
           "декодером в WAV рядом с SRT."),
        "kestrun-cli");
    parses = 0;
    CLI::App& app = *parser;
    Localise(app);
    app.add_option("FILE", v.files,
                   Tr("звуковые или видеофайлы (wav mp3 aif m4a mp4 aac ogg mpc ac3 avi vob mpa "
                      "mp2 dts wma ape wv flac ofr tta и всё, что читает ffmpeg) или папки: "
                      "берётся каждый файл папки подходящего типа, по порядку путей, без скрытых "
                      "файлов; обрабатываются в заданном порядке"));
    app.add_option("-d,--detector", v.detector,
                   Tr("energy (по умолчанию), glitch или speech (модель речи: для речи под "
                      "музыкой и шумами)"))
        ->check(CLI::IsMember({"energy", "glitch", "speech"}));
    app.add_option("-t,--threshold", v.thresholdText,
                   Tr("порог обнаружения, от 0 до 1 (по умолчанию 0.045 для energy, 0.0015 для "
                      "glitch, 0.5 для speech)"));
    app.add_option("-p,--prefilter", v.prefilterText,
                   Tr("энергетический предфильтр детектора glitch, от 0 до 1 (по умолчанию "
                      "0.005)"));
    app.add_option("--format", v.format,
                   Tr("что писать: srt (по умолчанию), vtt (WebVTT), labels (дорожка меток "
                      "Audacity, .txt) или csv (начало,конец в секундах)"))
        ->check(CLI::IsMember(CueFormatNames()));
    app.add_option("-o,--output", v.output,
                   Tr("путь к SRT или к файлу --format (только для одного FILE); декодированный "
                      "WAV пишется рядом с ним"));
    app.add_option("--out-dir", v.outDir,
                   Tr("папка для файлов SRT и декодированных WAV (должна существовать)"));
    app.add_option("--info", v.infoFile,
                   Tr("вывести частоту дискретизации, число каналов и длительность файла"));
    app.add_flag("--mono", v.mono, Tr("сначала свести стерео WAV в моно (WAV перезаписывается)"));
    app.add_option("--norm", v.normMode,
                   Tr("нормализация ReplayGain: 0 нет (по умолчанию), 1 radio, 2 radio с "
                      "дизерингом без формирования шума, 3/4/5 с лёгким/средним/сильным "
                      "формированием шума"))
        ->check(CLI::Range(0, 5));
    app.add_option("--gain", v.gain, Tr("дополнительное усиление нормализации в дБ, от -12 до 12"))
        ->check(CLI::Range(-12, 12));
    app.add_option("--threads", v.threads, Tr("потоков модели речи (по умолчанию: все ядра)"))
        ->check(CLI::Range(1, 256));
    app.add_option("--azid-gain", v.azidGain,
                   Tr("текст усиления для параметра besweet -azid( -g G )"));
    app.add_option("--tool-dir", v.toolDirs,
                   Tr("искать программы-декодеры и модель речи только в DIR (можно несколько "
                      "раз; по умолчанию: папка программы, текущая папка, затем PATH)"))
        ->allow_extra_args(false); // one DIR per --tool-dir; FILEs may follow
    app.add_option("--stream", v.audioStream,
                   Tr("какой звуковой поток контейнера декодировать, считая звуковые потоки с 0 "
                      "(по умолчанию 0)"))
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--no-wav", v.noWav,
                 Tr("удалять каждый декодированный WAV, когда его SRT записан; уже бывший WAV с "
                    "тем же именем не трогается, а WAV, данный как FILE, не удаляется никогда"));
    app.add_option("-j,--jobs", v.lanes,
                   Tr("сколько файлов обрабатывать одновременно, каждый своим декодером (по "
                      "умолчанию 1); вывод идёт в порядке файлов"))
        ->check(CLI::Range(1, 256));
    app.add_flag("-r,--recursive", v.recursive,
                 Tr("брать и файлы из вложенных папок (по символическим ссылкам на папки не "
                    "переходит)"));
    app.add_option("--shard", v.shardText,
                   Tr("брать только файлы I, I+N, I+2N ... всего списка (считая с 0, после "
                      "раскрытия папок), чтобы разделить работу между N машинами"))
        ->type_name("I/N");
    // Taken by main before the parse, so every text above is already in its language; here
    // so that --help lists it and a bad value is refused.
    app.add_option("--lang", v.lang,
                   Tr("язык сообщений: ru или en (по умолчанию — из LANGUAGE, LC_ALL, "
                      "LC_MESSAGES, LANG)"))
        ->check(CLI::IsMember({"ru", "en"}));
    app.set_version_flag("--version", std::string("kestrun-cli ") + KESTRUN_VERSION,
                         Tr("показать версию программы и выйти"));
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
        parsed.text = rc == 0                     ? out.str()
                      : CurrentLang() == Lang::En ? err.str()
                                                  : UsageText(ParseErrorText(e));
        return parsed;
    }

    ParsedArgs parsed;
    parsed.outcome = ParsedArgs::Outcome::Run;
    Options& options = parsed.options;
    Settings& settings = options.settings;
    if (v.infoFile) {
        if (!v.files.empty()) {
            return UsageError(Tr("--info принимает один FILE и больше ничего"));
        }
        v.files.push_back(*v.infoFile);
        settings.info = true;
    }
    if (v.files.empty()) {
        return UsageError(Tr("не задан FILE"));
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
        return UsageError(Fill(Tr("--threshold '%1': нужно число от 0 до 1"), {*v.thresholdText}));
    }
    if (!ParseThreshold(v.prefilterText, &settings.prefilter)) {
        return UsageError(Fill(Tr("--prefilter '%1': нужно число от 0 до 1"), {v.prefilterText}));
    }
    if (v.output && v.files.size() > 1) {
        return UsageError(Tr("--output допускает только один FILE"));
    }
    if (v.output && v.outDir) {
        return UsageError(Tr("--output и --out-dir исключают друг друга"));
    }
    if (v.outDir) {
        std::error_code ec;
        if (!std::filesystem::is_directory(*v.outDir, ec)) {
            return UsageError(Fill(Tr("--out-dir '%1': нет такой папки"), {*v.outDir}));
        }
    }
    if (v.azidGain.size() > AZID_GAIN_MAX_CHARS) {
        return UsageError(Fill(Tr("--azid-gain '%1': не больше 5 символов"), {v.azidGain}));
    }
    if (v.shardText && !ParseShard(*v.shardText, &options.shard)) {
        return UsageError(Fill(Tr("--shard '%1': нужно I/N, где 0 <= I < N"), {*v.shardText}));
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

std::string LangArgument(int argc, const char* const* argv) {
    std::string lang;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            break;
        }
        if (arg == "--lang" && i + 1 < argc) {
            lang = argv[++i];
        } else if (arg.rfind("--lang=", 0) == 0) {
            lang = arg.substr(7);
        }
    }
    return lang;
}

std::string UsageText(const std::string& message) {
    return "kestrun-cli: " + message + "\n" + Tr("Запустите с --help, чтобы узнать больше.") + "\n";
}
} // namespace kestrun::cli
