// The speech detector: its network against ONNX Runtime's probabilities on fixed clips,
// the model file's checks, the audio path into the network, the probability-to-run rules,
// the edge refinement, and kestrun-cli -d speech on a soundtrack-like scene.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include "CliRunner.h"
#include "SpeechAudio.h"
#include "SpeechModel.h"
#include "SpeechRuns.h"
#include "TestWav.h"
#include "VadEngine.h"

namespace {

using kestrun::Segment;
using kestrun::SpeechModel;
using testwav::TempDir;

const std::string MODEL = KESTRUN_SPEECH_MODEL;

const SpeechModel& Model() {
    static const SpeechModel model = [] {
        SpeechModel m;
        std::string error;
        if (!kestrun::LoadSpeechModel(MODEL, &m, &error)) {
            ADD_FAILURE() << error << " (scripts/fetch-model.sh fetches it)";
        }
        return m;
    }();
    return model;
}

std::vector<int16_t> ReadSamples(const std::string& wav) {
    const std::string bytes = testwav::ReadFile(wav);
    std::vector<int16_t> s;
    for (std::size_t i = 44; i + 1 < bytes.size(); i += 2) {
        s.push_back(static_cast<int16_t>(static_cast<uint8_t>(bytes[i]) |
                                         (static_cast<uint8_t>(bytes[i + 1]) << 8)));
    }
    return s;
}

std::vector<float> ToFloat(const std::vector<int16_t>& s) {
    std::vector<float> f(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        f[i] = s[i] / 32768.0f;
    }
    return f;
}

std::string Fnv1a64(const std::vector<int16_t>& s) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (int16_t v : s) {
        for (int b = 0; b < 2; ++b) {
            h ^= static_cast<uint8_t>(static_cast<uint16_t>(v) >> (8 * b));
            h *= 0x100000001b3ull;
        }
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

// ---- the network against ONNX Runtime ----

struct ReferenceClip {
    std::string name;
    std::size_t samples = 0;
    std::string hash;
    std::vector<float> probabilities;
};

std::vector<ReferenceClip> ReadReference() {
    std::ifstream in(std::string(KESTRUN_SOURCE_DIR) + "/tests/data/speech-reference.txt");
    std::vector<ReferenceClip> clips;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line.rfind("clip ", 0) == 0) {
            std::istringstream fields(line.substr(5));
            ReferenceClip c;
            std::size_t windows = 0;
            fields >> c.name >> c.samples >> c.hash >> windows;
            c.probabilities.reserve(windows);
            clips.push_back(std::move(c));
        } else if (!clips.empty()) {
            clips.back().probabilities.push_back(std::stof(line));
        }
    }
    return clips;
}

TEST(SpeechNet, MatchesOnnxRuntimeOnTheReferenceClips) {
    const std::vector<ReferenceClip> clips = ReadReference();
    ASSERT_GE(clips.size(), 3u);
    TempDir dir;
    const kestrun::test::RunResult made = kestrun::test::RunProgram(
        {"sh", std::string(KESTRUN_SOURCE_DIR) + "/tests/speech/make-clips.sh",
         dir.path().string()});
    ASSERT_EQ(made.status, 0) << made.err;
    double seconds = 0;
    for (const ReferenceClip& clip : clips) {
        SCOPED_TRACE(clip.name);
        const std::vector<int16_t> samples = ReadSamples(dir / clip.name);
        ASSERT_EQ(samples.size(), clip.samples);
        // A different clip would make the comparison meaningless, not wrong: say which.
        ASSERT_EQ(Fnv1a64(samples), clip.hash)
            << "the clip generator no longer makes the clip the reference was made from";
        seconds += samples.size() / 16000.0;
        for (int threads : {1, 3}) {
            const std::vector<float> ours =
                kestrun::SpeechProbabilities(Model(), ToFloat(samples), threads);
            ASSERT_EQ(ours.size(), clip.probabilities.size());
            double worst = 0;
            std::size_t at = 0;
            for (std::size_t k = 0; k < ours.size(); ++k) {
                const double d = std::fabs(ours[k] - clip.probabilities[k]);
                if (d > worst) {
                    worst = d;
                    at = k;
                }
            }
            EXPECT_LE(worst, 1e-4) << "window " << at << " with " << threads << " threads";
            std::printf("%s, %d threads: %zu windows, largest difference %.2g\n", clip.name.c_str(),
                        threads, ours.size(), worst);
        }
    }
    EXPECT_GE(seconds, 180.0) << "the reference should cover several minutes";
}

TEST(SpeechNet, StreamingInPiecesGivesTheWholeArraysResult) {
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    std::vector<float> x(16000 * 40 + 123); // more than one batch, and a partial window
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = 0.3f * std::sin(0.05f * static_cast<float>(i)) * ((i / 8000) % 2 ? 1.0f : 0.0f) +
               noise(rng);
    }
    const std::vector<float> whole = kestrun::SpeechProbabilities(Model(), x, 2);
    ASSERT_EQ(whole.size(), (x.size() + 511) / 512);
    kestrun::CSpeechNet net(Model(), 1);
    std::vector<float> pieces;
    std::size_t at = 0;
    for (std::size_t step : {1u, 511u, 513u, 100000u, 7u}) {
        for (int r = 0; r < 3 && at < x.size(); ++r) {
            const std::size_t n = std::min(step, x.size() - at);
            net.Push({x.data() + at, n}, pieces);
            at += n;
        }
    }
    net.Push({x.data() + at, x.size() - at}, pieces);
    net.Finish(pieces);
    ASSERT_EQ(pieces.size(), whole.size());
    for (std::size_t k = 0; k < whole.size(); ++k) {
        ASSERT_NEAR(pieces[k], whole[k], 1e-6) << k;
    }
    // Finish starts a new stream: the same input again gives the same output.
    net.Push(x, pieces);
    net.Finish(pieces);
    for (std::size_t k = 0; k < whole.size(); ++k) {
        ASSERT_NEAR(pieces[whole.size() + k], whole[k], 1e-6) << k;
    }
}

// ---- the model file ----

TEST(SpeechModelFile, MissingAndDamagedFilesAreNamedNotCrashedOn) {
    TempDir dir;
    SpeechModel m;
    std::string error;
    EXPECT_FALSE(kestrun::LoadSpeechModel(dir / "none.onnx", &m, &error));
    EXPECT_EQ(error, "speech model not found: " + dir / "none.onnx");

    const std::string good = testwav::ReadFile(MODEL);
    ASSERT_GT(good.size(), 1000000u);
    struct Damage {
        const char* name;
        std::string bytes;
    };
    const std::size_t basis = good.find("model.stft.forward_basis_buffer");
    ASSERT_NE(basis, std::string::npos);
    const Damage damages[] = {
        {"empty", ""},
        {"text", "not a model at all\n"},
        {"truncated", good.substr(0, good.size() / 2)},
        {"a directory", ""},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        const std::string path = dir / d.name;
        if (std::string(d.name) == "a directory") {
            std::filesystem::create_directory(path);
            EXPECT_FALSE(kestrun::LoadSpeechModel(path, &m, &error));
            EXPECT_EQ(error, "speech model not found: " + path);
            continue;
        }
        testwav::WriteText(path, d.bytes);
        EXPECT_FALSE(kestrun::LoadSpeechModel(path, &m, &error));
        EXPECT_EQ(error.rfind("speech model damaged: " + path + ": ", 0), 0u) << error;
    }
    // A model whose weights have another shape: renamed tensor, so the check must catch it.
    std::string renamed = good;
    for (std::size_t at = basis; at != std::string::npos;
         at = renamed.find("model.stft.forward_basis_buffer", at)) {
        renamed.replace(at, 10, "model.XXXX");
    }
    testwav::WriteText(dir / "renamed.onnx", renamed);
    EXPECT_FALSE(kestrun::LoadSpeechModel(dir / "renamed.onnx", &m, &error));
    EXPECT_NE(error.find("no tensor model.stft.forward_basis_buffer"), std::string::npos) << error;
}

// ---- the audio path ----

std::string WriteWav(const TempDir& dir, const std::string& name, uint16_t channels, uint32_t rate,
                     const std::vector<int16_t>& samples) {
    testwav::WriteFile(dir / name, testwav::MakeWav(channels, rate, samples));
    return dir / name;
}

std::vector<int16_t> Tone(std::size_t n, double hz, uint32_t rate, double amp) {
    std::vector<int16_t> s(n);
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<int16_t>(amp * std::sin(2 * M_PI * hz * i / rate) *
                                    (0.5 + 0.5 * std::sin(2 * M_PI * 3 * i / rate)));
    }
    return s;
}

TEST(SpeechAudio, MixesStereoAsTheMeanAndRefusesAbsurdRates) {
    TempDir dir;
    const std::vector<int16_t> mono = Tone(16000 * 5, 220, 16000, 8000);
    std::vector<int16_t> stereo;
    for (int16_t v : mono) {
        // L + R = 2v, unequal sides: the mean, not either side, is what the model hears.
        stereo.push_back(static_cast<int16_t>(v / 2));
        stereo.push_back(static_cast<int16_t>(2 * v - v / 2));
    }
    const kestrun::SpeechAnalysis a =
        kestrun::AnalyseSpeech(WriteWav(dir, "m.wav", 1, 16000, mono), Model(), {});
    const kestrun::SpeechAnalysis b =
        kestrun::AnalyseSpeech(WriteWav(dir, "s.wav", 2, 16000, stereo), Model(), {});
    ASSERT_TRUE(a.ok && b.ok) << a.error << b.error;
    EXPECT_EQ(a.probabilities, b.probabilities);
    EXPECT_EQ(a.probabilities, kestrun::SpeechProbabilities(Model(), ToFloat(mono), 1));

    // 44.1 kHz goes through the resampler: the same length in windows.
    const kestrun::SpeechAnalysis c = kestrun::AnalyseSpeech(
        WriteWav(dir, "c.wav", 1, 44100, Tone(44100 * 5, 220, 44100, 8000)), Model(), {});
    ASSERT_TRUE(c.ok) << c.error;
    EXPECT_NEAR(static_cast<double>(c.probabilities.size()), a.probabilities.size(), 1.0);

    for (uint32_t rate : {1u, 3999u, 768001u, 4000000000u}) {
        SCOPED_TRACE(rate);
        const kestrun::SpeechAnalysis r = kestrun::AnalyseSpeech(
            WriteWav(dir, "r.wav", 1, rate, std::vector<int16_t>(20000, 100)), Model(), {});
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.error.find(std::to_string(rate) + " Гц"), std::string::npos) << r.error;
    }
    for (uint32_t rate : {4000u, 8000u, 768000u}) {
        SCOPED_TRACE(rate);
        const kestrun::SpeechAnalysis r = kestrun::AnalyseSpeech(
            WriteWav(dir, "r.wav", 1, rate, Tone(rate, 300, rate, 5000)), Model(), {});
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_NEAR(static_cast<double>(r.probabilities.size()), 16000.0 / 512, 1.0);
    }
    const kestrun::SpeechAnalysis empty =
        kestrun::AnalyseSpeech(WriteWav(dir, "e.wav", 1, 44100, {}), Model(), {});
    EXPECT_TRUE(empty.ok) << empty.error;
    EXPECT_TRUE(empty.probabilities.empty());
    const kestrun::SpeechAnalysis missing = kestrun::AnalyseSpeech(dir / "none.wav", Model(), {});
    EXPECT_FALSE(missing.ok);
}

TEST(SpeechAudio, CancelStopsTheRunAndProgressEndsAtAHundred) {
    TempDir dir;
    const std::string wav =
        WriteWav(dir, "long.wav", 2, 44100, Tone(44100 * 2 * 60, 200, 44100, 6000));
    std::vector<int> seen;
    kestrun::SpeechRunOptions options;
    options.progress = [&](int p) { seen.push_back(p); };
    const kestrun::SpeechAnalysis full = kestrun::AnalyseSpeech(wav, Model(), options);
    ASSERT_TRUE(full.ok);
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 100);

    std::atomic<bool> cancel{false};
    options.cancel = &cancel;
    options.progress = [&](int p) {
        if (p >= 10) {
            cancel = true;
        }
    };
    const kestrun::SpeechAnalysis stopped = kestrun::AnalyseSpeech(wav, Model(), options);
    EXPECT_FALSE(stopped.ok);
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_LT(stopped.probabilities.size(), full.probabilities.size() / 2);
}

// ---- probabilities to runs ----

std::vector<float> Probs(std::initializer_list<std::pair<float, int>> runs) {
    std::vector<float> p;
    for (const auto& [value, count] : runs) {
        p.insert(p.end(), static_cast<std::size_t>(count), value);
    }
    return p;
}

TEST(SpeechRuns, HysteresisAndMinimumLengths) {
    struct Case {
        const char* what;
        std::vector<float> p;
        double threshold;
        int32_t duration;
        std::vector<Segment> runs;
    };
    const Case cases[] = {
        {"one run, ends where the fall began",
         Probs({{0.1f, 1}, {0.9f, 10}, {0.1f, 4}}),
         0.5,
         1000,
         {{32, 352}}},
        {"exactly the threshold starts speech",
         Probs({{0.5f, 10}, {0.0f, 4}}),
         0.5,
         1000,
         {{0, 320}}},
        {"between the levels keeps speech going",
         Probs({{0.9f, 5}, {0.4f, 10}, {0.1f, 4}}),
         0.5,
         1000,
         {{0, 480}}},
        {"a dip of 96 ms does not end it",
         Probs({{0.9f, 5}, {0.1f, 3}, {0.9f, 5}, {0.1f, 4}}),
         0.5,
         1000,
         {{0, 416}}},
        {"a dip of 128 ms does",
         Probs({{0.9f, 10}, {0.1f, 4}, {0.9f, 10}, {0.1f, 4}}),
         0.5,
         1000,
         {{0, 320}, {448, 768}}},
        {"a 224 ms run is dropped, 256 ms kept",
         Probs({{0.9f, 7}, {0.1f, 10}, {0.9f, 8}, {0.1f, 4}}),
         0.5,
         1000,
         {{544, 800}}},
        {"open at the end runs to the duration",
         Probs({{0.1f, 2}, {0.9f, 20}}),
         0.5,
         700,
         {{64, 700}}},
        {"open with a fall pending ends at the fall",
         Probs({{0.9f, 20}, {0.1f, 2}}),
         0.5,
         800,
         {{0, 640}}},
        {"a higher threshold needs more", Probs({{0.6f, 20}, {0.1f, 4}}), 0.7, 1000, {}},
        {"nothing at all", {}, 0.5, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(kestrun::speech::RunsFromProbabilities(c.p, c.threshold, c.duration), c.runs);
    }
}

// ---- edges moved to the energies ----

// Frame energies of a file with loud speech over quiet sound between two times.
struct Track {
    std::vector<double> energy;
    kestrun::speech::EnergyTrack view() const { return {energy, 44100, 384, 1152}; }
};

Track StepTrack(double onMs, double offMs, double floorDb, double speechDb) {
    Track t;
    const double frameMs = 384 * 1000.0 / 44100;
    for (int f = 0; f < 1000; ++f) {
        const double centre = f * frameMs + 1152 * 500.0 / 44100;
        const bool speech = centre >= onMs && centre < offMs;
        t.energy.push_back(std::pow(10.0, (speech ? speechDb : floorDb) / 10));
    }
    return t;
}

TEST(SpeechEdges, MoveToTheEnergyStepOrStayWhereTheMusicHidesIt) {
    const Track t = StepTrack(2000, 4000, 60, 90);
    // The model late at both ends (as it mostly is), and a little early: both come to the
    // step.
    for (const Segment model : {Segment{2120, 4400}, Segment{1985, 3985}}) {
        std::vector<Segment> runs{model};
        kestrun::speech::RefineEdges(runs, t.view());
        EXPECT_NEAR(runs[0].start, 2000, 10) << model.start;
        EXPECT_NEAR(runs[0].end, 4000, 10) << model.end;
    }
    // Too far from the step: the search does not reach it, the model's edge stands.
    for (const Segment model : {Segment{2400, 4000}, Segment{1800, 3800}}) {
        std::vector<Segment> far{model};
        kestrun::speech::RefineEdges(far, t.view());
        EXPECT_EQ(far[0].start, model.start);
    }
    // 3 dB of contrast: nothing to go by.
    const Track flat = StepTrack(2000, 4000, 60, 63);
    std::vector<Segment> kept{{2100, 4100}};
    kestrun::speech::RefineEdges(kept, flat.view());
    EXPECT_EQ(kept[0], (Segment{2100, 4100}));
    // At the file's edges and on an empty track nothing breaks.
    std::vector<Segment> edges{{0, 100}, {8600, 8700}};
    kestrun::speech::RefineEdges(edges, t.view());
    kestrun::speech::RefineEdges(edges, {});
    EXPECT_EQ(edges.size(), 2u);
}

// Two channels given apart place every edge exactly where their sum does.
TEST(SpeechEdges, ChannelsGivenApartActAsTheirSum) {
    const Track left = StepTrack(2000, 4000, 60, 90);
    Track right = StepTrack(2600, 5200, 55, 80);
    for (std::size_t f = 0; f < right.energy.size(); ++f) {
        right.energy[f] *= 1.0 + 0.37 * std::sin(double(f)); // uneven, so rounding shows
    }
    Track sum = left;
    for (std::size_t f = 0; f < sum.energy.size(); ++f) {
        sum.energy[f] += right.energy[f];
    }
    std::vector<Segment> apart{{1985, 2500}, {2620, 4030}, {5000, 5600}};
    std::vector<Segment> together = apart;
    kestrun::speech::EnergyTrack both = left.view();
    both.second = right.energy;
    kestrun::speech::RefineEdges(apart, both);
    kestrun::speech::RefineEdges(together, sum.view());
    EXPECT_EQ(apart, together);
}

} // namespace
