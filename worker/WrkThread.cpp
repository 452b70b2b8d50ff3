// The worker thread: its command queue, the job sequence and the steps after decoding.
#include "WrkThread.h"

#include <new>

#include "Mono.h"
#include "Path.h"
#include "ResultCodes.h"
#include "Runners.h"

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

        std::optional<Decoder> decoder = DecoderFor(job->extension);
        if (!decoder) {
            // A type the table does not name is still taken when ffmpeg finds sound in it.
            RunnerContext context{childProcess_, jobSettings_};
            if (ProbeAudio(job->sourcePath, context)) {
                decoder = Decoder::FFdecode;
            }
        }
        if (!decoder) {
            result->code = UNSUPPORTED_TYPE;
        } else if (*decoder == Decoder::None) {
            result->code = PostDecode(*job, &result->loadNumber);
        } else {
            RunnerContext context{childProcess_, jobSettings_};
            result->code = RunDecoder(*decoder, *job, context);
            if (result->code == RESULT_OK) {
                result->code = PostDecode(*job, &result->loadNumber);
            }
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

int32_t CWrkThread::PostDecode(JobInfo& job, uint64_t* loadNumber) {
    if (job.monoFlag == MONO_FLAG_SET && !ConvertToMono(job.sourcePath)) {
        return RESULT_MONO_FAILED;
    }
    if (job.normMode != 0) {
        RunnerContext context{childProcess_, jobSettings_};
        const int32_t code = RunWaveGain(job, context);
        if (code != RESULT_OK) {
            return code;
        }
    }
    const uint64_t load = engine_.Load(job.sourcePath);
    if (load == 0) {
        return RESULT_BAD_WAV;
    }
    *loadNumber = load;
    return RESULT_OK;
}

} // namespace kestrun
