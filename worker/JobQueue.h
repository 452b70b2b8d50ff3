// The window side's job queue, without any window: turns a dropped path into a job, keeps
// jobs first in first out, hands exactly one at a time to the worker, and counts the jobs
// not yet reported done.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "JobInfo.h"

namespace kestrun {

// The window's option values a job is made from.
struct JobOptions {
    bool makeMono = false;
    int32_t gainDb = 0;
    int32_t normIndex = 0;
    bool useSrcPath = true;   // outputs beside the source; else in outputFolder
    std::string outputFolder; // taken as it stands ("./", "", "/out")

    bool operator==(const JobOptions&) const = default;
};

// The job for a dropped path: mono flag, gain, mode, output base and extension.
std::unique_ptr<JobInfo> MakeJobInfo(const std::string& path, const JobOptions& options);

class JobQueue {
public:
    // dispatch hands a job to the worker (JOB_CMD_RUN). log receives the line for a queued
    // job (its file name) and the line to use if the log refuses it (the full path);
    // pendingChanged receives the new count of pending jobs. Either hook may be empty.
    using DispatchFn = std::function<void(std::unique_ptr<JobInfo>)>;
    using LogFn = std::function<void(const std::string& line, const std::string& lineAfterReset)>;
    using CountFn = std::function<void(int32_t pendingJobs)>;
    JobQueue(DispatchFn dispatch, LogFn log = {}, CountFn pendingChanged = {});

    // Builds, logs, queues and counts one job, and dispatches it if the worker is free.
    void CreateJob(const std::string& path, const JobOptions& options);

    // The same for a job already made (a caller that sets its own output base).
    void Enqueue(std::unique_ptr<JobInfo> job);

    // Hands the head of the queue to the worker if it holds no job.
    void DispatchNextJob();

    // Bookkeeping after a job's result was handled: one job fewer, the worker free, the
    // next job dispatched.
    void OnJobDone();

    // At exit: the queued jobs are dropped, never started.
    void DropQueued();

    int32_t pendingJobs() const { return pendingJobs_; }
    bool workerReady() const { return workerReady_; }
    std::size_t queuedJobs() const { return jobQueue_.size(); }

private:
    DispatchFn dispatch_;
    LogFn log_;
    CountFn pendingChanged_;
    std::deque<std::unique_ptr<JobInfo>> jobQueue_;
    bool workerReady_ = true;
    int32_t pendingJobs_ = 0;
};

} // namespace kestrun
