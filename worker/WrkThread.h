// The worker thread: takes commands in order from its own queue and runs each job to its
// end (decoder, mono conversion, normalisation, engine load) before reading the next.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "JobInfo.h"
#include "Process.h"
#include "Runners.h"
#include "SharedEngine.h"

namespace kestrun {

class CWrkThread {
public:
    // The values shared with the exit path and the receiver outlive the thread.
    CWrkThread(SharedEngine& engine, ChildProcess& childProcess, ExitSignal& exitMutex,
               IJobReceiver& mainWindowHandle, ToolSettings settings);
    ~CWrkThread(); // joins, after posting JOB_CMD_QUIT if still running
    CWrkThread(const CWrkThread&) = delete;
    CWrkThread& operator=(const CWrkThread&) = delete;

    // Starts the thread; false when it could not be started.
    bool Start();

    // Queues a command: JOB_CMD_RUN with its job (ownership passes), or JOB_CMD_QUIT.
    // Other commands are ignored when read.
    void PostCommand(int command, std::unique_ptr<JobInfo> job = nullptr);

    // Replaces the tool settings; jobs started afterwards use the new ones. The window sets
    // them once its settings file is read, before it can hand out the first job.
    void SetToolSettings(ToolSettings settings);

    // Waits for the thread to end (after JOB_CMD_QUIT), without a time limit.
    void Join();

    // Waits for the thread to end (after JOB_CMD_QUIT) until deadline. False when it still
    // runs, stuck in a call that blocks (an open of a FIFO, say): it is left alone then, and
    // the program must end without destroying this object (ExitNow).
    bool JoinUntil(std::chrono::steady_clock::time_point deadline);

    // Runs one job on the calling thread and reports it: what the thread does for each
    // JOB_CMD_RUN. Every job run yields exactly one result, unless the exit signal is raised
    // (the job is dropped) or the receiver is gone (the result is dropped).
    void RunJob(std::unique_ptr<JobInfo> job);

    // The steps after decoding: mono conversion, normalisation, load. Sets *loadNumber on
    // success, and *detail (when given) with what the file is when it cannot be read.
    int32_t PostDecode(JobInfo& job, uint64_t* loadNumber, std::string* detail = nullptr);

private:
    // A decoder's run and the steps after it, ending with the decoded WAV at outputBase +
    // ".wav" (or under its working name when the job does not keep it).
    int32_t Decode(Decoder decoder, JobInfo& job, JobResult& result);

    struct Command {
        int command = 0;
        std::unique_ptr<JobInfo> job;
    };
    void Loop();
    bool CommandWaiting() const;
    // Reports a step's progress to the receiver: a new step, a finished one, and otherwise
    // no more than every PROGRESS_INTERVAL.
    void Progress(JobStep step, uint64_t done = 0, uint64_t total = 0);
    // What the engine calls while it reads for a step.
    CVadEngine::LoadProgressFn ProgressOf(JobStep step);

    SharedEngine& engine_;
    ChildProcess& childProcess_;
    ExitSignal& exitMutex_;
    IJobReceiver& mainWindowHandle_;
    ToolSettings settings_;    // under mutex_
    ToolSettings jobSettings_; // the running job's copy; worker thread only
    std::unique_ptr<JobResult> reserveResult_;
    // The last progress reported, and when: worker thread only.
    std::optional<JobStep> progressStep_;
    std::chrono::steady_clock::time_point progressAt_{};

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable ended_; // notified when Loop has returned
    bool loopDone_ = false;         // under mutex_
    std::deque<Command> commands_;
    std::thread thread_;
};

} // namespace kestrun
