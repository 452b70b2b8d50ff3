// The timeline pane on a long file: a threshold change (re-detection plus redraw) against
// the detector's own run, the paint at the whole file and at the deepest zoom, and the
// memory the pane adds. Runs the pane offscreen.
//   bench_timeline WAV   (a long stereo file, as make_long_wav writes it)
#include <QApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <vector>

#include "Random.h"
#include "TimelinePane.h"
#include "VadEngine.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int REPEATS = 9;
constexpr double FRAME_BUDGET_MS = 16.0; // one frame of a 60 Hz screen
constexpr double MEMORY_BUDGET_MB = 16.0;

double MedianMs(const std::function<void(int)>& body) {
    std::vector<double> times;
    for (int r = 0; r < REPEATS; ++r) {
        const Clock::time_point t0 = Clock::now();
        body(r);
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_timeline WAV\n");
        return 2;
    }
    kestrun::CVadEngine engine;
    if (!engine.LoadWav(argv[1])) {
        std::fprintf(stderr, "bench_timeline: cannot load %s\n", argv[1]);
        return 1;
    }
    // Probabilities as the model would leave them, one per 32 ms: speech now and then.
    kestrun::bench::Random rng(7);
    std::vector<float> probabilities(static_cast<std::size_t>(engine.DurationMs() / 32));
    for (std::size_t i = 0; i < probabilities.size(); ++i) {
        probabilities[i] =
            (i / 40) % 3 == 1 ? 0.6f + 0.4f * float(rng.Unit()) : 0.3f * float(rng.Unit());
    }
    engine.SetSpeechProbabilities(std::move(probabilities));

    kestrun::TimelinePane pane;
    pane.resize(1200, 260);
    const Clock::time_point built = Clock::now();
    pane.SetLoad(engine);
    const double buildMs = std::chrono::duration<double, std::milli>(Clock::now() - built).count();
    QImage image(pane.size(), QImage::Format_ARGB32_Premultiplied);
    const auto redraw = [&] {
        QPainter painter(&image);
        pane.render(&painter);
    };

    std::printf("timeline, %.1f min stereo at %u Hz (%u frames per channel):\n",
                double(engine.DurationMs()) / 60000.0, engine.header().nSamplesPerSec,
                engine.frameCount());
    std::printf("  envelopes built in %.1f ms, memory added %.1f MB (target under %.0f MB)\n",
                buildMs, double(pane.bytes()) / 1e6, MEMORY_BUDGET_MB);

    const std::string srt =
        (std::filesystem::temp_directory_path() / "bench-timeline.srt").string();
    struct Detector {
        const char* name;
        std::function<std::vector<kestrun::Segment>(double)> cues;
        std::function<void(double)> run;
        double threshold;
    };
    const Detector detectors[] = {
        {"energy-based", [&](double t) { return engine.CuesEnergyBased(t); },
         [&](double t) { engine.RunEnergyBased(t, srt); }, 0.045},
        {"energy-glitch", [&](double t) { return engine.CuesEnergyGlitch(t, 0.005); },
         [&](double t) { engine.RunEnergyGlitch(t, 0.005, srt); }, 0.0015},
        {"speech model", [&](double t) { return engine.CuesSpeech(t); },
         [&](double t) { engine.RunSpeech(t, srt); }, 0.5},
    };
    std::printf("  per threshold change, re-detection and redraw at the whole file, against the\n"
                "  detector's own run (which writes its SRT); target under %.0f ms:\n",
                FRAME_BUDGET_MS);
    for (const Detector& d : detectors) {
        // Each repeat a slightly different threshold, as typing gives.
        const auto step = [&](int r) { return d.threshold * (1.0 + 0.02 * (r % 5 - 2)); };
        std::size_t shown = 0;
        const double change = MedianMs([&](int r) {
            std::vector<kestrun::Segment> cues = d.cues(step(r));
            shown = cues.size();
            pane.SetCues(std::move(cues), QStringLiteral("bench"));
            redraw();
        });
        const double own = MedianMs([&](int r) { d.run(step(r)); });
        std::printf("    %-13s %7.2f ms  (its own run %7.2f ms, ratio %.2f; %zu cues)%s\n", d.name,
                    change, own, change / own, shown,
                    change < FRAME_BUDGET_MS ? "" : "  OVER TARGET");
    }
    std::filesystem::remove(srt);

    pane.SetCues(engine.CuesEnergyBased(0.045), QStringLiteral("bench"), 0.045);
    // Each repeat a view a little apart from the last, so that the envelopes are drawn
    // anew, as a scroll or a zoom makes them; and the same view again, as a threshold
    // change redraws it.
    const double duration = pane.durationMs();
    const double whole = MedianMs([&](int r) {
        pane.SetView(0.0, r % 2 == 0 ? duration : duration * 0.999);
        redraw();
    });
    const double wholeAgain = MedianMs([&](int) { redraw(); });
    pane.ZoomAt(1e12, 600.0);
    const double deepStart = pane.viewStartMs();
    const double deepSpan = pane.viewSpanMs();
    const double deepest = MedianMs([&](int r) {
        pane.SetView(deepStart + r, deepSpan);
        redraw();
    });
    std::printf("  paint at the whole file %.2f ms (the same view again %.2f ms), at the deepest\n"
                "  zoom (%.0f ms across) %.2f ms\n",
                whole, wholeAgain, deepSpan, deepest);
    return 0;
}
