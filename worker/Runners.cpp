// The tool runners: one table row per decoder, the shared start-wait-check sequence, the
// two runners whose tool writes the WAV to its standard output, and the normaliser.
#include "Runners.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>

#include "File.h"
#include "Guardian.h"
#include "Path.h"
#include "ResultCodes.h"
#include "WavHeader.h"

namespace kestrun {
namespace {

// How a decoder's output is judged besides its exit code.
enum class MinimumSize { Source, SourceThird, SourcePlusHeader, Fixed50 };

struct DecoderRow {
    Decoder decoder;
    int32_t startFailureCode;
    MinimumSize minimum;
    bool exitCodeUsed;
    // About how many WAV bytes a source byte becomes, for telling a full disk: lossy
    // sound at its common rates 8 to 11 (128 kbit/s MP3 against CD audio's 1411), AC3 and
    // MPEG audio 3, lossless 2, containers that may hold video 1 (their sound is a small
    // part of them, its WAV seldom larger than the whole).
    uint32_t wavPerSourceByte;
};

constexpr DecoderRow DECODER_ROWS[] = {
    {Decoder::Lame, RESULT_LAME_START, MinimumSize::SourceThird, true, 11},
    {Decoder::Faad, RESULT_FAAD_START, MinimumSize::Source, true, 11},
    {Decoder::OggDec, RESULT_OGGDEC_START, MinimumSize::Source, true, 11},
    {Decoder::MppDec, RESULT_MPPDEC_START, MinimumSize::SourcePlusHeader, true, 8},
    {Decoder::BeSweet, RESULT_BESWEET_START, MinimumSize::Fixed50, true, 3},
    {Decoder::Mac, RESULT_MAC_START, MinimumSize::Source, true, 2},
    {Decoder::WvUnpack, RESULT_WVUNPACK_START, MinimumSize::Source, true, 2},
    {Decoder::Flac, RESULT_FLAC_START, MinimumSize::Source, true, 2},
    {Decoder::Ofr, RESULT_OFR_START, MinimumSize::Source, false, 2},
    {Decoder::TtaEnc, RESULT_TTAENC_START, MinimumSize::Source, false, 2},
    // Containers that may hold video, or other streams, far larger than their sound.
    {Decoder::FFdecode, RESULT_FFDECODE_START, MinimumSize::Fixed50, true, 1},
};

// The two tools whose standard output is the WAV: WMA at its common rates, and DTS, whose
// 1536 kbit/s are about CD audio's.
constexpr uint32_t WMA_WAV_PER_SOURCE_BYTE = 11;
constexpr uint32_t DTS_WAV_PER_SOURCE_BYTE = 1;

struct ExtensionRow {
    const char* extension;
    Decoder decoder;
};

// In the order they are tried.
constexpr ExtensionRow EXTENSION_ROWS[] = {
    {"mp3", Decoder::Lame},
    {"aif", Decoder::Lame},
    {"wav", Decoder::None},
    {"m4a", Decoder::Faad},
    {"mp4", Decoder::Faad},
    {"aac", Decoder::Faad},
    {"ogg", Decoder::OggDec},
    {"mpc", Decoder::MppDec},
    {"ac3", Decoder::BeSweet},
    {"avi", Decoder::BeSweet},
    {"vob", Decoder::BeSweet},
    {"mpa", Decoder::BeSweet},
    {"mp2", Decoder::BeSweet},
    {"dts", Decoder::DtsDec},
    {"wma", Decoder::WmaDec},
    {"ape", Decoder::Mac},
    {"wv", Decoder::WvUnpack},
    {"flac", Decoder::Flac},
    {"ofr", Decoder::Ofr},
    {"tta", Decoder::TtaEnc},
    // What files come as today, all through ffmpeg.
    {"mkv", Decoder::FFdecode},
    {"mka", Decoder::FFdecode},
    {"webm", Decoder::FFdecode},
    {"mov", Decoder::FFdecode},
    {"m4v", Decoder::FFdecode},
    {"m4b", Decoder::FFdecode},
    {"3gp", Decoder::FFdecode},
    {"ts", Decoder::FFdecode},
    {"mts", Decoder::FFdecode},
    {"m2ts", Decoder::FFdecode},
    {"flv", Decoder::FFdecode},
    {"wmv", Decoder::FFdecode},
    {"asf", Decoder::FFdecode},
    {"opus", Decoder::FFdecode},
    {"oga", Decoder::FFdecode},
    {"ogv", Decoder::FFdecode},
    {"caf", Decoder::FFdecode},
    {"amr", Decoder::FFdecode},
    {"aiff", Decoder::FFdecode},
    {"au", Decoder::FFdecode},
    {"w64", Decoder::FFdecode},
};

// Whole-text comparison, ASCII letters without case, every other byte as it is.
bool EqualsIgnoringAsciiCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

const DecoderRow* RowOf(Decoder decoder) {
    for (const DecoderRow& row : DECODER_ROWS) {
        if (row.decoder == decoder) {
            return &row;
        }
    }
    return nullptr;
}

uint32_t MinimumOf(const DecoderRow& row, const JobInfo& job, uint32_t sourceSize) {
    switch (row.minimum) {
    case MinimumSize::SourceThird:
        return sourceSize / 3;
    case MinimumSize::SourcePlusHeader:
        return sourceSize + 45; // wraps in 32 bits like the size itself
    case MinimumSize::Fixed50:
        return 50;
    case MinimumSize::Source:
        break;
    }
    // An mp4 usually carries video far larger than its decoded sound: only the containers
    // that hold sound alone can promise a WAV at least the source's size.
    if (row.decoder == Decoder::Faad && EqualsIgnoringAsciiCase(job.extension, "mp4")) {
        return 50;
    }
    return sourceSize;
}

// The source's size, or -1 with the reason in context.detail when it is no regular file:
// a FIFO or device would hold the decoder reading it for ever.
int64_t SourceSize(const JobInfo& job, RunnerContext& context) {
    uint64_t size = 0;
    const FileProblem problem = RegularFileSize(job.sourcePath, &size);
    if (problem != FileProblem::None) {
        context.detail = FileProblemText(problem);
        return -1;
    }
    return static_cast<int64_t>(std::min<uint64_t>(size, INT64_MAX));
}

// A step that failed may have run out of disk space; the tool deleted what it wrote, so
// what tells is a file system with less room than the file would take. The log then says
// so, unless it already has a reason.
void NoteDiskFull(const std::string& writtenPath, uint64_t neededBytes, int32_t code,
                  RunnerContext& context) {
    if (code == RESULT_OK || code == TERMINATED_EXIT_CODE || !context.detail.empty()) {
        return;
    }
    const std::string folder(PathFolder(writtenPath));
    uint64_t free = 0;
    if (FreeBytes(folder.empty() ? "." : folder, &free) && free < neededBytes) {
        context.detail = DiskFullText(free, neededBytes);
    }
}

uint64_t EstimatedWav(uint64_t sourceSize, uint32_t wavPerSourceByte) {
    return sourceSize > (UINT64_MAX - WAV_HEADER_BYTES) / wavPerSourceByte
               ? UINT64_MAX
               : WAV_HEADER_BYTES + sourceSize * wavPerSourceByte;
}

CommandLine::Piece Lit(std::string text) {
    return {std::move(text), false};
}
CommandLine::Piece Quoted(std::string path) {
    return {std::move(path), true};
}

struct ToolRun {
    bool started = false;
    int32_t exitCode = 0;
};

// Starts the command, recorded in the context's ChildProcess, and waits for it. With a
// WAV to follow and a follower in the context, the follower reads the WAV while it grows.
ToolRun RunTool(const CommandLine& command, RunnerContext& context,
                const std::string& workingFolder = {}, int stdoutFd = -1,
                const std::string& followWav = {}) {
    ProcessOptions options;
    options.searchFolders =
        context.settings.toolFolders.empty() ? DefaultToolFolders() : context.settings.toolFolders;
    options.workingFolder = workingFolder;
    options.stdoutFd = stdoutFd;
    if (!context.childProcess.Start(command.Argv(), options)) {
        return {};
    }
    if (!followWav.empty() && context.follow) {
        ChildProcess& child = context.childProcess;
        context.follow(followWav, [&child] { return child.HasEnded(); });
    }
    return {true, context.childProcess.Wait()};
}

// The start the two runners whose tool writes to standard output share: the source must
// open, the tool's command is built from it, the job switches to its WAV, and that WAV is
// created for the tool's standard output. Returns its descriptor, or -1 with *failure set.
int CreateStdoutWav(Decoder decoder, int32_t startFailureCode, JobInfo& job, CommandLine* command,
                    int32_t* failure, RunnerContext& context, uint64_t* sourceSize) {
    const int64_t size = SourceSize(job, context);
    if (size < 0) {
        *failure = RESULT_OPEN_FAILED;
        return -1;
    }
    *sourceSize = static_cast<uint64_t>(size);
    *command = DecoderCommand(decoder, job, job.sourcePath, {}, {});
    job.sourcePath = DecodingBase(job.outputBase) + ".wav";
    GuardFile(job.sourcePath);
    const int fd = CreateFileForWriting(job.sourcePath);
    if (fd < 0) {
        ReleaseFile(job.sourcePath);
    }
    *failure = startFailureCode;
    return fd;
}

} // namespace

std::vector<std::string> CommandLine::Argv() const {
    std::vector<std::string> argv{program};
    for (const Piece& piece : pieces) {
        if (piece.isPath) {
            argv.push_back(piece.text);
            continue;
        }
        std::size_t at = 0;
        while (at < piece.text.size()) {
            const std::size_t end = std::min(piece.text.find(' ', at), piece.text.size());
            if (end > at) {
                argv.push_back(piece.text.substr(at, end - at));
            }
            at = end + 1;
        }
    }
    return argv;
}

std::string CommandLine::Text() const {
    std::string text = program;
    for (const Piece& piece : pieces) {
        text += piece.isPath ? " \"" + piece.text + "\"" : " " + piece.text;
    }
    return text;
}

std::string DecodingBase(const std::string& outputBase) {
    // A random word drawn once per program and a count: unique among the workers of this
    // program and the other programs writing beside the same outputs.
    static const uint64_t seed =
        (uint64_t{std::random_device{}()} << 32) ^ std::random_device{}() ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    static std::atomic<uint64_t> count{0};
    char tag[64];
    std::snprintf(tag, sizeof tag, ".kestrun-%016llx-%llu", static_cast<unsigned long long>(seed),
                  static_cast<unsigned long long>(count.fetch_add(1)));
    const std::string folder(PathFolder(outputBase));
    return folder + "." + std::string(PathFindFileName(outputBase)) + tag;
}

std::optional<Decoder> DecoderFor(const std::string& extension) {
    for (const ExtensionRow& row : EXTENSION_ROWS) {
        if (EqualsIgnoringAsciiCase(extension, row.extension)) {
            return row.decoder;
        }
    }
    return std::nullopt;
}

CommandLine DecoderCommand(Decoder decoder, const JobInfo& job, const std::string& srcPath,
                           const std::string& wavPath, const ToolSettings& settings) {
    switch (decoder) {
    case Decoder::Lame:
        return {"lame.exe", {Lit("--decode -q 0"), Quoted(srcPath), Quoted(wavPath)}};
    case Decoder::Faad:
        return {"faad.exe", {Lit("-d"), Quoted(srcPath), Lit("-o"), Quoted(wavPath)}};
    case Decoder::OggDec:
        // oggdec is told only the copy; its WAV must appear at outputBase + ".wav".
        return {"oggdec.exe", {Lit("-m"), Quoted(job.outputBase + ".tmp.ogg")}};
    case Decoder::MppDec:
        return {"mppdec.exe", {Lit("--wav"), Quoted(srcPath), Quoted(wavPath)}};
    case Decoder::BeSweet: {
        CommandLine line{"besweet.exe",
                         {Lit("-core( -2ch -input"), Quoted(srcPath), Lit("-output"),
                          Quoted(wavPath), Lit(")")}};
        if (!settings.azidGain.empty()) {
            line.pieces.push_back(Lit("-azid( -g " + settings.azidGain + " )"));
        }
        return line;
    }
    case Decoder::Mac:
        return {"mac.exe", {Quoted(srcPath), Quoted(wavPath), Lit("-d")}};
    case Decoder::WvUnpack:
        return {"wvunpack.exe", {Lit("-y"), Quoted(srcPath), Quoted(wavPath)}};
    case Decoder::Flac:
        return {"flac.exe", {Lit("-d -f"), Quoted(srcPath), Lit("-o"), Quoted(wavPath)}};
    case Decoder::Ofr:
        return {"ofr.exe",
                {Lit("--overwrite --decode"), Quoted(srcPath), Lit("--output"), Quoted(wavPath)}};
    case Decoder::TtaEnc:
        return {"ttaenc.exe", {Lit("-d"), Quoted(srcPath), Lit("-o"), Quoted(wavPath)}};
    case Decoder::WmaDec:
        return {"wmadec.exe", {Quoted(srcPath)}};
    case Decoder::DtsDec:
        return {"dtsdec.exe", {Lit("-o wav"), Quoted(srcPath)}};
    case Decoder::FFdecode:
        return {
            "ffdecode.exe",
            {Lit("--stream " + std::to_string(job.audioStream)), Quoted(srcPath), Quoted(wavPath)}};
    case Decoder::None:
        break;
    }
    return {};
}

void CheckDecodedOutput(const JobInfo& job, uint32_t minimumSize, int32_t* code,
                        std::string* detail) {
    if (*code == 0) {
        uint64_t size = 0;
        const FileProblem problem = RegularFileSize(job.sourcePath, &size);
        if (problem != FileProblem::None || static_cast<uint32_t>(size) < minimumSize) {
            *code = RESULT_DECODE_FAILED;
        }
        // A missing WAV is the plain decoding failure; anything else there is named.
        if (problem != FileProblem::None && problem != FileProblem::NotFound && detail != nullptr) {
            *detail = FileProblemText(problem);
        }
    }
    if (*code != 0) {
        DeleteFileIfAny(job.sourcePath);
        ReleaseFile(job.sourcePath);
    }
}

bool ProbeAudio(const std::string& path, RunnerContext& context) {
    const ToolRun run = RunTool({"ffdecode.exe", {Lit("--probe"), Quoted(path)}}, context);
    return run.started && run.exitCode == 0;
}

std::optional<Decoder> DecoderForJob(const JobInfo& job, RunnerContext& context) {
    if (const std::optional<Decoder> decoder = DecoderFor(job.extension)) {
        return decoder;
    }
    if (ProbeAudio(job.sourcePath, context)) {
        return Decoder::FFdecode;
    }
    return std::nullopt;
}

int32_t RunDecoder(Decoder decoder, JobInfo& job, RunnerContext& context) {
    if (decoder == Decoder::WmaDec) {
        return RunWmaDec(job, context);
    }
    if (decoder == Decoder::DtsDec) {
        return RunDtsDec(job, context);
    }
    const DecoderRow* row = RowOf(decoder);
    if (row == nullptr) {
        return UNSUPPORTED_TYPE;
    }
    const int64_t wholeSourceSize = SourceSize(job, context);
    if (wholeSourceSize < 0) {
        return RESULT_OPEN_FAILED;
    }
    const auto sourceSize = static_cast<uint32_t>(wholeSourceSize);
    // The tool writes under a name of its own until the job has passed; oggdec's copy
    // takes that name too, since oggdec puts its WAV beside its input.
    JobInfo decoding = job;
    decoding.outputBase = DecodingBase(job.outputBase);
    const std::string oggCopy = decoding.outputBase + ".tmp.ogg";
    if (decoder == Decoder::OggDec) {
        GuardFile(oggCopy);
        if (!CopyFileReplacing(job.sourcePath, oggCopy)) {
            DeleteFileIfAny(oggCopy);
            ReleaseFile(oggCopy);
            return RESULT_COPY_FAILED;
        }
    }
    const std::string srcPath = job.sourcePath;
    job.sourcePath = decoding.outputBase + ".wav";
    // Until the caller has renamed or deleted it (Decode), a sudden end must not leave it.
    GuardFile(job.sourcePath);
    const CommandLine command =
        DecoderCommand(decoder, decoding, srcPath, job.sourcePath, context.settings);

    const ToolRun run = RunTool(command, context, {}, -1, job.sourcePath);
    if (!run.started) {
        // No output to judge, and nothing to delete but the copy.
        if (decoder == Decoder::OggDec) {
            DeleteFileIfAny(oggCopy);
            ReleaseFile(oggCopy);
        }
        ReleaseFile(job.sourcePath);
        return row->startFailureCode;
    }
    int32_t code = run.exitCode;
    // Tools whose exit code says nothing are judged by their output alone, unless the exit
    // path stopped them: a partial WAV must not go on to be loaded.
    if (!row->exitCodeUsed && code != TERMINATED_EXIT_CODE) {
        code = 0;
    }
    CheckDecodedOutput(job, MinimumOf(*row, job, sourceSize), &code, &context.detail);
    if (decoder == Decoder::OggDec) {
        DeleteFileIfAny(oggCopy);
        ReleaseFile(oggCopy);
    }
    // An mp4 may be mostly picture, like the containers.
    const uint32_t ratio = decoder == Decoder::Faad && EqualsIgnoringAsciiCase(job.extension, "mp4")
                               ? 1
                               : row->wavPerSourceByte;
    NoteDiskFull(job.sourcePath, EstimatedWav(static_cast<uint64_t>(wholeSourceSize), ratio), code,
                 context);
    return code;
}

int32_t RunWmaDec(JobInfo& job, RunnerContext& context) {
    CommandLine command;
    int32_t failure = 0;
    uint64_t sourceSize = 0;
    const int fd = CreateStdoutWav(Decoder::WmaDec, RESULT_WMADEC_START, job, &command, &failure,
                                   context, &sourceSize);
    if (fd < 0) {
        return failure;
    }
    // The tool writes raw 16-bit stereo 44,100 Hz PCM after the header; the sizes are
    // filled in once it has ended.
    WavHeader header = CanonicalWavHeader(2, 44100, 0);
    header.riffSize = 0;
    if (!WriteAll(fd, SerializeWavHeader(header).data(), WAV_HEADER_BYTES)) {
        CloseFile(fd);
        DeleteFileIfAny(job.sourcePath);
        ReleaseFile(job.sourcePath);
        return RESULT_WMADEC_START;
    }
    // Not followed: the header is only complete once this runner has corrected it.
    const ToolRun run = RunTool(command, context, {}, fd);
    if (!run.started) {
        CloseFile(fd);
        DeleteFileIfAny(job.sourcePath);
        ReleaseFile(job.sourcePath);
        return RESULT_WMADEC_START;
    }
    int32_t code = run.exitCode;
    uint32_t size = 0;
    if (DescriptorSize32(fd, &size)) {
        header.riffSize = size - 8;
        header.dataSize = size - 44;
        WriteAllAt(fd, 0, SerializeWavHeader(header).data(), WAV_HEADER_BYTES);
    }
    CloseFile(fd);
    CheckDecodedOutput(job, 50, &code, &context.detail);
    NoteDiskFull(job.sourcePath, EstimatedWav(sourceSize, WMA_WAV_PER_SOURCE_BYTE), code, context);
    return code;
}

int32_t RunDtsDec(JobInfo& job, RunnerContext& context) {
    CommandLine command;
    int32_t failure = 0;
    uint64_t sourceSize = 0;
    const int fd = CreateStdoutWav(Decoder::DtsDec, RESULT_DTSDEC_START, job, &command, &failure,
                                   context, &sourceSize);
    if (fd < 0) {
        return failure;
    }
    // dtsdec writes a whole WAV stream itself; the file holds exactly what it wrote.
    const ToolRun run = RunTool(command, context, {}, fd, job.sourcePath);
    CloseFile(fd);
    if (!run.started) {
        // The empty file is only the decoder's working name now: nobody looks for it.
        DeleteFileIfAny(job.sourcePath);
        ReleaseFile(job.sourcePath);
        return RESULT_DTSDEC_START;
    }
    int32_t code = run.exitCode;
    CheckDecodedOutput(job, 100, &code, &context.detail);
    NoteDiskFull(job.sourcePath, EstimatedWav(sourceSize, DTS_WAV_PER_SOURCE_BYTE), code, context);
    return code;
}

int32_t RunWaveGain(const JobInfo& job, RunnerContext& context) {
    // The tool runs in the WAV's folder, so a relative path would no longer name the WAV
    // there: it is handed over absolute.
    std::string wavPath = job.sourcePath;
    std::error_code ec;
    if (!wavPath.empty() && std::filesystem::path(wavPath).is_relative()) {
        const std::filesystem::path absolute = std::filesystem::absolute(wavPath, ec);
        if (!ec) {
            wavPath = absolute.string();
        }
    }
    const std::string folder(PathFolder(job.sourcePath));
    const CommandLine command{
        "wavegain.exe",
        {Lit("-t -r -g " + std::to_string(job.gain) + " -y -d " + std::to_string(job.normMode - 1)),
         Quoted(wavPath)}};
    const ToolRun run = RunTool(command, context, folder);
    if (!run.started) {
        return RESULT_WAVEGAIN_START;
    }
    DeleteFileIfAny(PathAppend(folder, "wavegain.tmp"));
    // The normalised file is written beside the WAV, at the WAV's size.
    uint64_t wavSize = 0;
    if (RegularFileSize(job.sourcePath, &wavSize) == FileProblem::None) {
        NoteDiskFull(job.sourcePath, wavSize, run.exitCode, context);
    }
    return run.exitCode;
}

} // namespace kestrun
