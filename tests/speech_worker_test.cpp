// The speech worker's thread: runs replaced by later ones or cancelled leave nothing behind,
// cancels and the destructor are prompt, and a missing model is reported on every run.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <tuple>

#include "SpeechWorker.h"
#include "TestWav.h"

namespace {

using namespace kestrun;
using namespace std::chrono_literals;
using Done = std::tuple<uint64_t, bool, std::string>;

// Stands in for the model and takes the worker's reports. Run n (from 1) waits until
// released or, unless stubborn, until cancelled; a stubborn run ends like one finishing
// just as the cancel came. Its probabilities are {n}.
struct Fake : ISpeechReceiver {
    std::mutex mutex;
    std::condition_variable changed;
    int started = 0;
    int ended = 0;
    int released = 0;
    int reported = 0;
    bool stubborn = false;
    std::vector<Done> done;

    SpeechAnalyser Analyser() {
        return [this](const std::string&, const SpeechRunOptions& options) {
            std::unique_lock lock(mutex);
            const int run = ++started;
            changed.notify_all();
            while (released < run && (stubborn || !*options.cancel)) {
                changed.wait_for(lock, 1ms);
            }
            ++ended;
            changed.notify_all();
            SpeechAnalysis analysis;
            analysis.ok = released >= run;
            analysis.cancelled = !analysis.ok;
            analysis.probabilities = {float(run)};
            return analysis;
        };
    }
    void OnSpeechProgress(uint64_t, int) override {}
    void OnSpeechDone(uint64_t load, bool ok, const std::string& error) override {
        std::lock_guard lock(mutex);
        done.emplace_back(load, ok, error);
        ++reported;
        changed.notify_all();
    }
    bool WaitUntil(const int& counter, int value) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return counter >= value; });
    }
    void Release() { // every run started so far
        std::lock_guard lock(mutex);
        released = started;
        changed.notify_all();
    }
};

class SpeechWorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        testwav::WriteFile(wav, testwav::MakeWav(1, 16000, std::vector<int16_t>(16000, 100)));
        load = engine.Load(wav);
    }
    std::vector<float> Kept() {
        std::vector<float> kept;
        engine.WithLoad(engine.CurrentLoad(), [&](CVadEngine& e) {
            kept.assign(e.speechProbabilities().begin(), e.speechProbabilities().end());
        });
        return kept;
    }

    testwav::TempDir dir;
    std::string wav = dir / "a.wav";
    SharedEngine engine;
    uint64_t load = 0;
    Fake fake;
};

TEST_F(SpeechWorkerTest, ARunReplacedByAnotherLeavesNothingBehind) {
    // A run finishing just as a new start came would store its probabilities and report.
    fake.stubborn = true;
    CSpeechWorker worker(engine, fake, fake.Analyser(), 1);
    worker.Start(load, wav);
    ASSERT_TRUE(fake.WaitUntil(fake.started, 1));
    worker.Start(load, wav); // the same load: only the worker can tell the runs apart
    fake.Release();
    ASSERT_TRUE(fake.WaitUntil(fake.started, 2));
    EXPECT_TRUE(Kept().empty());
    fake.Release();
    ASSERT_TRUE(fake.WaitUntil(fake.reported, 1));
    EXPECT_EQ(Kept(), std::vector<float>{2.0f});

    // A new load in the engine: the old load's run neither stores nor reports.
    worker.Start(load, wav);
    ASSERT_TRUE(fake.WaitUntil(fake.started, 3));
    const uint64_t next = engine.Load(wav);
    fake.Release();
    worker.Start(next, wav);
    ASSERT_TRUE(fake.WaitUntil(fake.started, 4));
    fake.Release();
    ASSERT_TRUE(fake.WaitUntil(fake.reported, 2));
    EXPECT_EQ(Kept(), std::vector<float>{4.0f});
    EXPECT_EQ(fake.done, (std::vector<Done>{{load, true, ""}, {next, true, ""}}));
}

TEST_F(SpeechWorkerTest, CancelAndTheDestructorArePromptAndReportNothing) {
    {
        CSpeechWorker worker(engine, fake, fake.Analyser(), 2);
        worker.Start(load, wav);
        ASSERT_TRUE(fake.WaitUntil(fake.started, 1));
        worker.Cancel();
        ASSERT_TRUE(fake.WaitUntil(fake.ended, 1));

        // The cancel is over once the next run starts: that one runs to its end.
        worker.Start(load, wav);
        ASSERT_TRUE(fake.WaitUntil(fake.started, 2));
        fake.Release();
        ASSERT_TRUE(fake.WaitUntil(fake.reported, 1));

        worker.Start(load, wav);
        ASSERT_TRUE(fake.WaitUntil(fake.started, 3));
    }
    EXPECT_EQ(fake.ended, 3); // the destructor waited for the running one
    EXPECT_EQ(fake.done.size(), 1u);
}

TEST_F(SpeechWorkerTest, AMissingModelIsReportedOnEveryRun) {
    const std::string missing = dir / "no model.onnx";
    CSpeechWorker worker(engine, fake, missing, 1);
    worker.Start(load, wav);
    ASSERT_TRUE(fake.WaitUntil(fake.reported, 1));
    worker.Start(load, wav);
    ASSERT_TRUE(fake.WaitUntil(fake.reported, 2));
    const Done expected{load, false, "speech model not found: " + missing};
    EXPECT_EQ(fake.done, (std::vector<Done>{expected, expected}));
}

} // namespace
