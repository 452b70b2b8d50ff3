// The external tools that turn each accepted format into a 16-bit PCM WAV, the check of
// what they leave behind, and the normaliser. Each runner takes the job, starts its tool
// through the shared ChildProcess record and returns a result code (ResultCodes.h).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "JobInfo.h"
#include "Process.h"

namespace kestrun {

// A tool's command line: the program text and pieces of argument text. A literal piece
// stands for the arguments its spaces separate; a path piece is one argument, whatever it
// holds. Text() renders the line as one text with the paths in double quotes.
struct CommandLine {
    struct Piece {
        std::string text;
        bool isPath = false;
    };
    std::string program; // "lame.exe"
    std::vector<Piece> pieces;

    std::vector<std::string> Argv() const;
    std::string Text() const;
};

// Stands in for the plain wait while a decoder writes its WAV: reads the WAV as it grows,
// and returns once toolEnded() is true (the tool is then collected as usual).
using FollowFn =
    std::function<void(const std::string& wavPath, const std::function<bool()>& toolEnded)>;

// Everything a runner needs besides the job.
struct RunnerContext {
    ChildProcess& childProcess;
    const ToolSettings& settings;
    FollowFn follow = {}; // empty: the runner just waits
    // Set by a runner that failed and knows why (a source that is no file, a full disk):
    // one line for the log after the code's message.
    std::string detail = {};
};

// The conversion step of an extension; None for a WAV, which needs no conversion.
enum class Decoder {
    None,
    Lame,
    Faad,
    OggDec,
    MppDec,
    BeSweet,
    DtsDec,
    WmaDec,
    Mac,
    WvUnpack,
    Flac,
    Ofr,
    TtaEnc,
    // The ffmpeg adapter: every other container and codec, and files of an unknown type
    // that ffmpeg finds an audio stream in.
    FFdecode
};

// The dispatch table: the extension (no dot) matched whole, ASCII letters without case.
// nullopt for an extension not in it, the empty one included.
std::optional<Decoder> DecoderFor(const std::string& extension);

// The command line the runner of `decoder` gives its tool. srcPath is the source as it was
// dropped, wavPath the WAV asked for (outputBase + ".wav").
CommandLine DecoderCommand(Decoder decoder, const JobInfo& job, const std::string& srcPath,
                           const std::string& wavPath, const ToolSettings& settings);

// Whether ffmpeg finds an audio stream in the file (ffdecode.exe --probe), for a file whose
// extension the table does not know. The probe runs as the context's tool, so the exit
// path can stop it like a decoder.
bool ProbeAudio(const std::string& path, RunnerContext& context);

// Where a decoder writes until the job has passed every check: a hidden name in the folder
// of outputBase, unique to this call, so that a WAV already at outputBase + ".wav" keeps
// its bytes whatever the decoder does. The decoder's WAV is this + ".wav".
std::string DecodingBase(const std::string& outputBase);

// The conversion step a job's file takes: its extension's, or for a type the table does
// not know, ffmpeg's when ProbeAudio finds sound in it. nullopt: the file is not taken.
std::optional<Decoder> DecoderForJob(const JobInfo& job, RunnerContext& context);

// Runs the decoder's runner (wmadec and dtsdec included). On success the decoded WAV is at
// job.sourcePath (DecodingBase + ".wav"); the caller puts it at outputBase + ".wav" once
// the job's later steps have passed, or deletes it.
int32_t RunDecoder(Decoder decoder, JobInfo& job, RunnerContext& context);

// code 0 stays 0 only if the file at job.sourcePath is a regular file of at least
// minimumSize bytes (lower 32 bits); otherwise it becomes RESULT_DECODE_FAILED, with the
// reason in *detail when the path is no regular file. A non-zero code deletes that file.
void CheckDecodedOutput(const JobInfo& job, uint32_t minimumSize, int32_t* code,
                        std::string* detail = nullptr);

// The two tools whose standard output is the WAV.
int32_t RunWmaDec(JobInfo& job, RunnerContext& context);
int32_t RunDtsDec(JobInfo& job, RunnerContext& context);

// Normalises the WAV at job.sourcePath in place with wavegain, run in the WAV's folder.
int32_t RunWaveGain(const JobInfo& job, RunnerContext& context);

} // namespace kestrun
