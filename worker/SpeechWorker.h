// CSpeechWorker: the speech model's run over a loaded file, on a background thread of its
// own, so the seconds it takes never hold up the window. One file at a time: a new start
// cancels the run under way. The probabilities go into the engine with the load they
// belong to.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "SharedEngine.h"
#include "SpeechAudio.h"

namespace kestrun {

// What the speech worker reports to. Called on the worker's thread while it holds its own
// lock, so a report never arrives for a run cancelled before: implementations hand over
// to their own thread and never call back into the worker from a report.
class ISpeechReceiver {
public:
    virtual ~ISpeechReceiver() = default;
    // 0..100, each value once, as the file is worked through.
    virtual void OnSpeechProgress(uint64_t load, int percent) = 0;
    // ok: the engine holds the probabilities of `load`. Otherwise error says why. Not
    // called for a cancelled run, nor for one whose load the engine no longer holds.
    virtual void OnSpeechDone(uint64_t load, bool ok, const std::string& error) = 0;
};

// One run of the model over a WAV file: what the worker calls on its thread. The real one
// loads the model file on first use; tests put their own in its place.
using SpeechAnalyser =
    std::function<SpeechAnalysis(const std::string& wavPath, const SpeechRunOptions& options)>;

// The model at modelPath: read on the first run and kept; a failed read is tried again on
// the next run, so a model put in place afterwards is found without a restart.
SpeechAnalyser ModelAnalyser(std::string modelPath);

class CSpeechWorker {
public:
    // The engine and the receiver outlive the worker. threads below 1 count as 1.
    CSpeechWorker(SharedEngine& engine, ISpeechReceiver& receiver, std::string modelPath,
                  int threads);
    CSpeechWorker(SharedEngine& engine, ISpeechReceiver& receiver, SpeechAnalyser analyser,
                  int threads);
    ~CSpeechWorker(); // cancels and waits for the thread
    CSpeechWorker(const CSpeechWorker&) = delete;
    CSpeechWorker& operator=(const CSpeechWorker&) = delete;

    // Cancels whatever runs or waits, and runs the model over wavPath for load number
    // `load`. The thread starts with the first call; when it cannot, the failure is
    // reported at once, on the calling thread.
    void Start(uint64_t load, std::string wavPath);

    // Cancels whatever runs or waits. Once it returns, nothing of that run is reported or
    // stored.
    // Neither this nor Start may be called from inside SharedEngine::WithLoad: the worker
    // takes the engine's lock while it holds its own.
    void Cancel();

private:
    struct Request {
        uint64_t load = 0;
        std::string wavPath;
        uint64_t generation = 0;
    };
    void Loop();
    void RunOne(const Request& request);
    // Under mutex_: the run of this generation has not been cancelled or replaced.
    bool IsCurrent(uint64_t generation) const { return generation == generation_ && !quit_; }

    SharedEngine& engine_;
    ISpeechReceiver& receiver_;
    SpeechAnalyser analyser_;
    int threads_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<Request> pending_; // under mutex_
    uint64_t generation_ = 0;        // under mutex_: one more for every start and cancel
    bool quit_ = false;              // under mutex_
    // Raised with every cancel; the running analysis polls it between batches.
    std::atomic<bool> cancel_{false};
    std::thread thread_;
};

} // namespace kestrun
