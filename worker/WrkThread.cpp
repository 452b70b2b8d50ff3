// The worker thread: its command queue, the job sequence and the steps after decoding.
#include "WrkThread.h"

#include <new>

#include "File.h"
#include "Mono.h"
#include "Path.h"
#include "ResultCodes.h"
#include "Runners.h"
#include "WavFormat.h"

namespace kestrun {

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
        thread_ = std::thread(&CWrkThread::Loop, this);
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

        RunnerContext probeContext{childProcess_, jobSettings_};
        const std::optional<Decoder> decoder = DecoderForJob(*job, probeContext);
        if (!decoder) {
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
        mainWindowHandle_.SetTitle(IDLE_TITLE);
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
            followedLoad = engine_.LoadFollowing(wav, toolEnded, &why);
        };
    }
    int32_t code = RunDecoder(decoder, job, context);
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
        }
        result.loadNumber = 0;
        return code;
    }
    if (!job.keepDecodedWav) {
        result.wavIsTemporary = true;
        return code;
    }
    // Only now, with every step passed, does the decoded WAV take the place of whatever was
    // at outputBase + ".wav".
    const std::string wav = job.outputBase + ".wav";
    if (!RenameReplacing(job.sourcePath, wav)) {
        DeleteFileIfAny(job.sourcePath);
        engine_.Drop(result.loadNumber);
        result.loadNumber = 0;
        return RESULT_COPY_FAILED;
    }
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
            if (!WriteCanonicalCopy(job.sourcePath, copy, detail)) {
                DeleteFileIfAny(copy);
                return mono ? RESULT_MONO_FAILED : RESULT_BAD_WAV;
            }
        } else if (!probe.ok && detail != nullptr) {
            *detail = probe.description;
        }
    }
    int32_t code = RESULT_OK;
    if (mono && !ConvertToMono(work.sourcePath)) {
        code = RESULT_MONO_FAILED;
    }
    if (code == RESULT_OK && normalise) {
        RunnerContext context{childProcess_, jobSettings_};
        code = RunWaveGain(work, context);
    }
    if (code == RESULT_OK) {
        std::string why;
        const uint64_t load = engine_.Load(work.sourcePath, &why);
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
    }
    return code;
}

} // namespace kestrun
