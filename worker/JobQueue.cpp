// The job queue: jobs made from dropped paths, first in first out, one at a time.
#include "JobQueue.h"

#include "Path.h"

namespace kestrun {

std::unique_ptr<JobInfo> MakeJobInfo(const std::string& path, const JobOptions& options) {
    auto job = std::make_unique<JobInfo>();
    job->monoFlag = options.makeMono ? MONO_FLAG_SET : 0;
    job->gain = options.gainDb;
    job->normMode = options.normIndex;
    job->sourcePath = path;
    const std::string_view extension = PathFindExtension(path);
    if (!extension.empty()) {
        job->extension = extension.substr(1);
    }
    job->outputBase =
        OutputBase(options.useSrcPath ? PathFolder(path) : options.outputFolder, path);
    return job;
}

JobQueue::JobQueue(DispatchFn dispatch, LogFn log, CountFn pendingChanged)
    : dispatch_(std::move(dispatch)), log_(std::move(log)),
      pendingChanged_(std::move(pendingChanged)) {}

void JobQueue::CreateJob(const std::string& path, const JobOptions& options) {
    Enqueue(MakeJobInfo(path, options));
}

void JobQueue::Enqueue(std::unique_ptr<JobInfo> job) {
    if (log_) {
        log_(std::string(PathFindFileName(job->sourcePath)), job->sourcePath);
    }
    jobQueue_.push_back(std::move(job));
    ++pendingJobs_;
    if (pendingChanged_) {
        pendingChanged_(pendingJobs_);
    }
    DispatchNextJob();
}

void JobQueue::DispatchNextJob() {
    if (!workerReady_ || jobQueue_.empty()) {
        return;
    }
    workerReady_ = false;
    std::unique_ptr<JobInfo> job = std::move(jobQueue_.front());
    jobQueue_.pop_front();
    dispatch_(std::move(job));
}

void JobQueue::OnJobDone() {
    --pendingJobs_;
    if (pendingChanged_) {
        pendingChanged_(pendingJobs_);
    }
    workerReady_ = true;
    DispatchNextJob();
}

void JobQueue::DropQueued() {
    pendingJobs_ -= static_cast<int32_t>(jobQueue_.size());
    jobQueue_.clear();
}

} // namespace kestrun
