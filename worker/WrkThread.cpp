// The worker thread: its command queue, the job sequence and the steps after decoding.
#include "WrkThread.h"

#include <filesystem>
#include <new>
#include <thread>

#include "File.h"
#include "Guardian.h"
#include "Mono.h"
#include "Path.h"
#include "ResultCodes.h"
#include "Runners.h"
#include "Text.h"
#include "WavFormat.h"

namespace kestrun {
namespace {

// The result a job gets whose file cannot be read as one: the code the step that would
// first have read it gives a file it cannot open, so the log's first words stay as they
// were.
int32_t UnreadableSourceCode(const JobInfo& job, std::optional<Decoder> decoder) {
    if (!decoder) {
        return UNSUPPORTED_TYPE;
    }
    if (*decoder != Decoder::None) {
        return RESULT_OPEN_FAILED;
    }
    return job.monoFlag == MONO_FLAG_SET ? RESULT_MONO_FAILED : RESULT_BAD_WAV;
}

// A canonical copy that could not be written for want of room says so with the figures.
void NoteCopyDiskFull(const std::string& copy, const WavLayout& layout, std::string* detail) {
    const uint64_t needed = WAV_HEADER_BYTES + layout.frames * 2u * layout.outChannels;
    const std::string folder(PathFolder(copy));
    uint64_t free = 0;
    if (detail != nullptr && FreeBytes(folder.empty() ? "." : folder, &free) && free < needed) {
        *detail = DiskFullText(free, needed);
    }
}

// Often enough for a bar to move smoothly, rarely enough to cost nothing.
constexpr auto PROGRESS_INTERVAL = std::chrono::milliseconds(100);
// How often a decoder's WAV is looked at while it is written and not read: short, since
// the job waits this long at most past the decoder's end.
constexpr auto WATCH_POLL = std::chrono::milliseconds(2);

} // namespace

CWrkThread::CWrkThread(SharedEngine& engine, ChildProcess& childProcess, ExitSignal& exitMutex,
                       IJobReceiver& mainWindowHandle, ToolSettings settings)
    : engine_(engine), childProcess_(childProcess), exitMutex_(exitMutex),
      mainWindowHandle_(mainWindowHandle), settings_(settings), jobSettings_(std::move(settings)),
      reserveResult_(new (std::nothrow) JobResult) {}

CWrkThread::~CWrkThread() {
    if (thread_.joinable()) {
        PostCommand(JOB_CMD_QUIT);
        thread_.join();
    }
}

bool CWrkThread::Start() {
    if (thread_.joinable()) {
        return false;
    }
    try {
        thread_ = std::thread([this] {
            Loop();
            {
                std::lock_guard lock(mutex_);
                loopDone_ = true;
            }
            ended_.notify_all();
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CWrkThread::PostCommand(int command, std::unique_ptr<JobInfo> job) {
    {
        std::lock_guard lock(mutex_);
        commands_.push_back({command, std::move(job)});
    }
    wake_.notify_one();
}

void CWrkThread::SetToolSettings(ToolSettings settings) {
    std::lock_guard lock(mutex_);
    settings_ = std::move(settings);
}

void CWrkThread::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool CWrkThread::JoinUntil(std::chrono::steady_clock::time_point deadline) {
    if (!thread_.joinable()) {
        return true;
    }
    {
        std::unique_lock lock(mutex_);
        if (!ended_.wait_until(lock, deadline, [this] { return loopDone_; })) {
            return false;
        }
    }
    thread_.join();
    return true;
}

void CWrkThread::Progress(JobStep step, uint64_t done, uint64_t total) {
    const auto now = std::chrono::steady_clock::now();
    const bool finished = total != 0 && done >= total;
    if (progressStep_ == step && !finished && now - progressAt_ < PROGRESS_INTERVAL) {
        return;
    }
    progressStep_ = step;
    progressAt_ = now;
    mainWindowHandle_.SetProgress({step, done, total});
}

CVadEngine::LoadProgressFn CWrkThread::ProgressOf(JobStep step) {
    return [this, step](uint64_t done, uint64_t total) { Progress(step, done, total); };
}

bool CWrkThread::CommandWaiting() const {
    std::lock_guard lock(mutex_);
    return !commands_.empty();
}

void CWrkThread::Loop() {
    for (;;) {
        Command next;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return !commands_.empty(); });
            next = std::move(commands_.front());
            commands_.pop_front();
        }
        if (next.command == JOB_CMD_QUIT) {
            return;
        }
        if (next.command == JOB_CMD_RUN && next.job) {
            RunJob(std::move(next.job));
        }
    }
}

void CWrkThread::RunJob(std::unique_ptr<JobInfo> job) {
    if (exitMutex_.IsRaised()) {
        return; // the program is closing: the job is dropped unreported
    }
    // The queue waits for exactly one result per job, so a result is kept in reserve for
    // the moment memory runs out.
    std::unique_ptr<JobResult> result(new (std::nothrow) JobResult);
    if (!result) {
        result = std::move(reserveResult_);
        if (!result) {
            return; // nothing left to report with
        }
        *result = JobResult{};
    }
    try {
        {
            std::lock_guard lock(mutex_);
            jobSettings_ = settings_;
        }
        result->text = PathFindFileName(job->sourcePath);
        mainWindowHandle_.SetTitle(result->text);
        progressStep_.reset();

        RunnerContext probeContext{childProcess_, jobSettings_};
        // A FIFO, socket or device would hold whatever reads it first (the probe, a decoder,
        // the load) for ever: only a regular file goes on, and anything else is named.
        const FileProblem problem = RegularFileProblem(job->sourcePath);
        const std::optional<Decoder> decoder = problem == FileProblem::None
                                                   ? DecoderForJob(*job, probeContext)
                                                   : DecoderFor(job->extension);
        if (problem != FileProblem::None) {
            result->code = UnreadableSourceCode(*job, decoder);
            result->detail = FileProblemText(problem);
        } else if (!decoder) {
            result->code = UNSUPPORTED_TYPE;
        } else if (*decoder == Decoder::None) {
            result->code = PostDecode(*job, &result->loadNumber, &result->detail);
        } else {
            result->code = Decode(*decoder, *job, *result);
        }
        result->text = job->outputBase;
        if (result->code == RESULT_OK) {
            result->wavPath = job->sourcePath;
        }
    } catch (...) {
        // Memory ran out somewhere in the steps: still one result, "no memory or bad file".
        result->code = RESULT_BAD_WAV;
        result->loadNumber = 0;
    }
    if (!reserveResult_) {
        reserveResult_.reset(new (std::nothrow) JobResult);
    }

    if (!mainWindowHandle_.IsAlive()) {
        return; // the receiver is gone: the result is dropped unsent
    }
    mainWindowHandle_.Deliver(std::move(result));
    if (!CommandWaiting()) {
        mainWindowHandle_.SetTitle(Tr(IDLE_TITLE));
    }
}

int32_t CWrkThread::Decode(Decoder decoder, JobInfo& job, JobResult& result) {
    const std::string source = job.sourcePath;
    RunnerContext context{childProcess_, jobSettings_};
    // With nothing to do between decoding and loading, the engine reads the WAV while the
    // decoder writes it, so that the load ends with the decoder.
    bool followed = false;
    uint64_t followedLoad = 0;
    std::string why;
    if (job.monoFlag != MONO_FLAG_SET && job.normMode == 0) {
        context.follow = [&](const std::string& wav, const std::function<bool()>& toolEnded) {
            followed = true;
            followedLoad = engine_.LoadFollowing(wav, toolEnded, &why, ProgressOf(JobStep::Decode));
        };
    } else if (mainWindowHandle_.ShowsProgress()) {
        // The later steps need the finished file, but how much of it there is already can
        // be told.
        context.follow = [this](const std::string& wav, const std::function<bool()>& toolEnded) {
            while (!toolEnded()) {
                std::error_code error;
                const uintmax_t size = std::filesystem::file_size(wav, error);
                if (!error) {
                    Progress(JobStep::Decode, size);
                }
                std::this_thread::sleep_for(WATCH_POLL);
            }
        };
    }
    Progress(JobStep::Decode);
    int32_t code = RunDecoder(decoder, job, context);
    if (code != RESULT_OK && !context.detail.empty()) {
        result.detail = context.detail;
    }
    if (code == RESULT_OK && followed) {
        result.loadNumber = followedLoad;
        if (followedLoad == 0) {
            code = RESULT_BAD_WAV;
            result.detail = why;
        }
    } else if (code == RESULT_OK) {
        code = PostDecode(job, &result.loadNumber, &result.detail);
    } else {
        engine_.Drop(followedLoad); // the decoder failed after all: its WAV is gone
    }
    const bool decoded = job.sourcePath != source; // the runner named a WAV of its own
    if (code != RESULT_OK) {
        if (decoded) {
            DeleteFileIfAny(job.sourcePath);
            ReleaseFile(job.sourcePath);
        }
        result.loadNumber = 0;
        return code;
    }
    if (!job.keepDecodedWav) {
        // Still guarded (Guardian.h): the receiver releases it as it deletes it.
        result.wavIsTemporary = true;
        return code;
    }
    // Only now, with every step passed, does the decoded WAV take the place of whatever was
    // at outputBase + ".wav".
    const std::string wav = job.outputBase + ".wav";
    if (!RenameReplacing(job.sourcePath, wav)) {
        DeleteFileIfAny(job.sourcePath);
        ReleaseFile(job.sourcePath);
        engine_.Drop(result.loadNumber);
        result.loadNumber = 0;
        return RESULT_COPY_FAILED;
    }
    ReleaseFile(job.sourcePath);
    job.sourcePath = wav;
    return code;
}

int32_t CWrkThread::PostDecode(JobInfo& job, uint64_t* loadNumber, std::string* detail) {
    const bool mono = job.monoFlag == MONO_FLAG_SET;
    const bool normalise = job.normMode != 0;
    // Mono conversion and normalisation rewrite their WAV in place, which only a canonical
    // 16-bit file may undergo: any other layout is worked on as a canonical copy, and the
    // file itself is never written.
    JobInfo work = job;
    std::string copy;
    if (mono || normalise) {
        const WavProbe probe = ProbeWavFile(job.sourcePath);
        if (probe.ok && !probe.canonical16) {
            copy = DecodingBase(job.outputBase) + ".wav";
            work.sourcePath = copy;
            GuardFile(copy);
            Progress(JobStep::Copy);
            if (!WriteCanonicalCopy(job.sourcePath, copy, detail)) {
                DeleteFileIfAny(copy);
                ReleaseFile(copy);
                NoteCopyDiskFull(copy, probe.layout, detail);
                return mono ? RESULT_MONO_FAILED : RESULT_BAD_WAV;
            }
        } else if (!probe.ok && detail != nullptr) {
            *detail = probe.description;
        }
    }
    int32_t code = RESULT_OK;
    std::string monoWhy;
    if (mono) {
        Progress(JobStep::Mono);
    }
    if (mono && !ConvertToMono(work.sourcePath, &monoWhy)) {
        code = RESULT_MONO_FAILED;
        if (!monoWhy.empty() && detail != nullptr) {
            *detail = monoWhy;
        }
    }
    if (code == RESULT_OK && normalise) {
        RunnerContext context{childProcess_, jobSettings_};
        Progress(JobStep::Normalise);
        code = RunWaveGain(work, context);
        if (code != RESULT_OK && !context.detail.empty() && detail != nullptr) {
            *detail = context.detail;
        }
    }
    if (code == RESULT_OK) {
        std::string why;
        Progress(JobStep::Load);
        const uint64_t load = engine_.Load(work.sourcePath, &why, ProgressOf(JobStep::Load));
        if (load == 0) {
            code = RESULT_BAD_WAV;
            if (detail != nullptr) {
                *detail = why;
            }
        } else {
            *loadNumber = load;
        }
    }
    if (!copy.empty()) {
        DeleteFileIfAny(copy);
        ReleaseFile(copy);
    }
    return code;
}

} // namespace kestrun
