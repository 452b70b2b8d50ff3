// The speech worker's thread: its one waiting request, the model kept between runs, and
// the hand-over of each run's probabilities to the engine.
#include "SpeechWorker.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <utility>

#include "SpeechModel.h"
#include "Text.h"

namespace kestrun {

SpeechAnalyser ModelAnalyser(std::string modelPath) {
    struct Kept {
        std::string path;
        std::unique_ptr<SpeechModel> model;
    };
    // Shared by the copies a std::function may make; only ever used by one thread at a
    // time, the worker's.
    auto kept = std::make_shared<Kept>(Kept{std::move(modelPath), nullptr});
    return [kept](const std::string& wavPath, const SpeechRunOptions& options) {
        if (!kept->model) {
            auto model = std::make_unique<SpeechModel>();
            SpeechAnalysis failed;
            if (!LoadSpeechModel(kept->path, model.get(), &failed.error)) {
                return failed;
            }
            kept->model = std::move(model);
        }
        return AnalyseSpeech(wavPath, *kept->model, options);
    };
}

CSpeechWorker::CSpeechWorker(SharedEngine& engine, ISpeechReceiver& receiver, std::string modelPath,
                             int threads)
    : CSpeechWorker(engine, receiver, ModelAnalyser(std::move(modelPath)), threads) {}

CSpeechWorker::CSpeechWorker(SharedEngine& engine, ISpeechReceiver& receiver,
                             SpeechAnalyser analyser, int threads)
    : engine_(engine), receiver_(receiver), analyser_(std::move(analyser)),
      threads_(std::max(1, threads)) {}

CSpeechWorker::~CSpeechWorker() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        pending_.reset();
        cancel_.store(true);
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void CSpeechWorker::Start(uint64_t load, std::string wavPath) {
    bool started = true;
    {
        std::lock_guard lock(mutex_);
        ++generation_;
        pending_ = Request{load, std::move(wavPath), generation_};
        cancel_.store(true);
        if (!thread_.joinable()) {
            try {
                thread_ = std::thread(&CSpeechWorker::Loop, this);
            } catch (const std::exception&) { // no thread, or no memory for one
                pending_.reset();
                started = false;
            }
        }
    }
    if (!started) {
        receiver_.OnSpeechDone(load, false, Tr("не запустился поток расчёта"));
        return;
    }
    wake_.notify_one();
}

void CSpeechWorker::Cancel() {
    std::lock_guard lock(mutex_);
    ++generation_;
    pending_.reset();
    cancel_.store(true);
}

void CSpeechWorker::Loop() {
    for (;;) {
        Request request;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return quit_ || pending_.has_value(); });
            if (quit_) {
                return;
            }
            request = std::move(*pending_);
            pending_.reset();
            // Lowered with the take, under the lock: a cancel after this point raises it
            // again and bumps the generation, so it can never be lost.
            cancel_.store(false);
        }
        RunOne(request);
    }
}

void CSpeechWorker::RunOne(const Request& request) {
    int lastPercent = -1;
    SpeechRunOptions options;
    options.threads = threads_;
    options.cancel = &cancel_;
    options.progress = [&](int percent) {
        percent = std::clamp(percent, 0, 100);
        if (percent == lastPercent) {
            return; // the window would queue one repaint per batch otherwise
        }
        lastPercent = percent;
        std::lock_guard lock(mutex_);
        if (IsCurrent(request.generation)) {
            receiver_.OnSpeechProgress(request.load, percent);
        }
    };

    SpeechAnalysis analysis;
    // An exception must not end the program from this thread: it becomes the run's failure.
    try {
        analysis = analyser_(request.wavPath, options);
    } catch (const std::bad_alloc&) {
        analysis = SpeechAnalysis{};
        analysis.error = Tr("не хватило памяти");
    } catch (...) {
        analysis = SpeechAnalysis{};
        analysis.error = Tr("сбой расчёта");
    }

    // Decided under the lock, so a cancel either comes first and nothing of this run
    // reaches the engine or the receiver, or comes after the report.
    std::lock_guard lock(mutex_);
    if (!IsCurrent(request.generation)) {
        return;
    }
    if (!analysis.ok) {
        receiver_.OnSpeechDone(request.load, false,
                               analysis.cancelled ? std::string(Tr("расчёт прерван"))
                                                  : analysis.error);
        return;
    }
    const bool stored = engine_.WithLoad(request.load, [&](CVadEngine& engine) {
        engine.SetSpeechProbabilities(std::move(analysis.probabilities));
    });
    if (stored) {
        receiver_.OnSpeechDone(request.load, true, {});
    }
}

} // namespace kestrun
