// Whole detection runs on WAV files: the cue examples, stereo handling, repeatability,
// and a differential test of engine runs against the plain reference, byte for byte.
#include <gtest/gtest.h>

#include <random>

#include "PlainReference.h"
#include "TestWav.h"
#include "VadEngine.h"

namespace {

// At 700 Hz a frame step is 7 samples, exactly 10 ms. Loud samples in [7(a + 2), 7(b - 1))
// make frames a .. b - 2 loud and frame b - 1 quiet, so the energy-based detector finds
// the frame run [a, b), that is a .. b in tens of milliseconds.
struct Burst {
    int firstFrame;
    int endFrame;
};

std::vector<int16_t> BurstChannel(std::size_t frames, const std::vector<Burst>& bursts) {
    std::vector<int16_t> s(frames * 7, 0);
    for (const Burst& b : bursts) {
        for (int k = 7 * (b.firstFrame + 2); k < 7 * (b.endFrame - 1); ++k) {
            s[std::size_t(k)] = int16_t(k % 2 ? 10000 : -10000);
        }
    }
    return s;
}

std::string RunBursts(const std::vector<Burst>& left, const std::vector<Burst>* right = nullptr) {
    testwav::TempDir dir;
    const std::vector<int16_t> l = BurstChannel(500, left);
    std::vector<int16_t> data = l;
    uint16_t channels = 1;
    if (right != nullptr) {
        const std::vector<int16_t> r = BurstChannel(500, *right);
        data.clear();
        for (std::size_t i = 0; i < l.size(); ++i) {
            data.push_back(l[i]);
            data.push_back(r[i]);
        }
        channels = 2;
    }
    testwav::WriteFile(dir / "a.wav", testwav::MakeWav(channels, 700, data));
    kestrun::CVadEngine engine;
    EXPECT_TRUE(engine.LoadWav(dir / "a.wav"));
    EXPECT_EQ(engine.FrameToMs(100), 1000);
    const kestrun::DetectionResult r = engine.RunEnergyBased(0.045, dir / "a.srt");
    EXPECT_TRUE(r.written);
    return testwav::ReadFile(dir / "a.srt");
}

} // namespace

TEST(DetectionRun, CueExamples) {
    EXPECT_EQ(RunBursts({{100, 200}}), "1\r\n00:00:00,915 --> 00:00:02,015\r\n1\r\n\r\n");
    EXPECT_EQ(RunBursts({{5, 100}}), "1\r\n00:00:00,000 --> 00:00:01,015\r\n1\r\n\r\n");
    EXPECT_EQ(RunBursts({{100, 200}, {225, 300}}),
              "1\r\n00:00:00,915 --> 00:00:03,015\r\n1\r\n\r\n");
    EXPECT_EQ(RunBursts({{100, 200}, {230, 300}}),
              "1\r\n00:00:00,915 --> 00:00:02,015\r\n1\r\n\r\n"
              "2\r\n00:00:02,215 --> 00:00:03,015\r\n2\r\n\r\n");
}

TEST(DetectionRun, StereoScansBothChannelsIntoOneList) {
    const std::vector<Burst> right = {{300, 400}, {20, 60}};
    EXPECT_EQ(RunBursts({{100, 200}}, &right), "1\r\n00:00:00,115 --> 00:00:00,615\r\n1\r\n\r\n"
                                               "2\r\n00:00:00,915 --> 00:00:02,015\r\n2\r\n\r\n"
                                               "3\r\n00:00:02,915 --> 00:00:04,015\r\n3\r\n\r\n");
    // Speech on the left only: a silent right channel used to hide it.
    const std::vector<Burst> silent;
    EXPECT_EQ(RunBursts({{100, 200}}, &silent), "1\r\n00:00:00,915 --> 00:00:02,015\r\n1\r\n\r\n");
}

TEST(DetectionRun, SilentRightChannelStillGivesGlitchCues) {
    testwav::TempDir dir;
    const std::vector<int16_t> l = BurstChannel(1500, {{300, 400}});
    std::vector<int16_t> data;
    for (int16_t v : l) {
        data.push_back(v);
        data.push_back(0);
    }
    testwav::WriteFile(dir / "a.wav", testwav::MakeWav(2, 700, data));
    kestrun::CVadEngine engine;
    ASSERT_TRUE(engine.LoadWav(dir / "a.wav"));
    EXPECT_GE(engine.RunEnergyGlitch(0.0015, 0.005, dir / "a.srt").cues, 1u);
}

TEST(DetectionRun, SameFileSameResultWhateverCameBefore) {
    // The glitch detector's block length used to stick to the first file ever scanned.
    testwav::TempDir dir;
    std::mt19937 rng(3);
    auto noisy = [&](uint32_t rate, const std::string& name) {
        std::vector<int16_t> s(rate * 3);
        for (std::size_t i = 0; i < s.size(); ++i) {
            const bool speech = (i / (rate / 4)) % 3 == 1;
            s[i] = int16_t(int(rng() % 2001) - 1000) * (speech ? 20 : 1);
        }
        testwav::WriteFile(dir / name, testwav::MakeWav(1, rate, s));
    };
    noisy(44100, "a.wav");
    noisy(48000, "b.wav");

    kestrun::CVadEngine fresh;
    ASSERT_TRUE(fresh.LoadWav(dir / "b.wav"));
    const auto expected = fresh.RunEnergyGlitch(0.0015, 0.005, dir / "fresh.srt");
    EXPECT_EQ(fresh.blockFrames(), 418u);

    kestrun::CVadEngine engine;
    ASSERT_TRUE(engine.LoadWav(dir / "a.wav"));
    engine.RunEnergyGlitch(0.0015, 0.005, dir / "a.srt");
    EXPECT_EQ(engine.blockFrames(), 384u);
    ASSERT_TRUE(engine.LoadWav(dir / "b.wav"));
    const auto first = engine.RunEnergyGlitch(0.0015, 0.005, dir / "b.srt");
    EXPECT_EQ(first.cues, expected.cues);
    EXPECT_EQ(testwav::ReadFile(dir / "b.srt"), testwav::ReadFile(dir / "fresh.srt"));

    // Pressing Generate again rewrites the same bytes.
    const auto second = engine.RunEnergyGlitch(0.0015, 0.005, dir / "b.srt");
    EXPECT_EQ(second.cues, first.cues);
    EXPECT_EQ(testwav::ReadFile(dir / "b.srt"), testwav::ReadFile(dir / "fresh.srt"));
}

TEST(DetectionRun, MatchesPlainReferenceOnRandomFiles) {
    // One engine for every file, as in the window: nothing may leak from one to the next.
    testwav::TempDir dir;
    kestrun::CVadEngine engine;
    std::mt19937_64 rng(11);
    const uint32_t rates[] = {1, 7, 100, 700, 8000, 11025, 22050, 44100, 48000, 96000};
    for (int round = 0; round < 60; ++round) {
        const uint32_t rate = rates[rng() % std::size(rates)];
        const uint16_t channels = uint16_t(1 + rng() % 2);
        const std::size_t frames = std::min<std::size_t>(rng() % (rate * 4 + 200), 250000);
        std::vector<int16_t> data(frames * channels);
        // Speech-like: bursts of loud noise over quiet noise, each channel its own.
        for (uint16_t c = 0; c < channels; ++c) {
            const double gain = c == 0 ? 1.0 : double(rng() % 3);
            std::size_t i = 0;
            while (i < frames) {
                const std::size_t len = 1 + rng() % (rate / 2 + 20);
                const int amp = rng() % 3 == 0 ? int(rng() % 32768) : int(rng() % 300);
                for (std::size_t k = i; k < std::min(frames, i + len); ++k) {
                    const int v = amp == 0 ? 0 : int(rng() % (2 * amp + 1)) - amp;
                    data[k * channels + c] = int16_t(std::clamp(v * gain, -32768.0, 32767.0));
                }
                i += len;
            }
        }
        const std::string wav = dir / "r.wav";
        testwav::WriteFile(wav, testwav::MakeWav(channels, rate, data));
        const plain::Loaded ref = plain::LoadWav(wav);
        ASSERT_EQ(engine.LoadWav(wav), ref.ok) << "a data-less file is refused by both";
        if (!ref.ok) {
            continue;
        }
        SCOPED_TRACE("round " + std::to_string(round) + ": " + std::to_string(channels) + " ch, " +
                     std::to_string(rate) + " Hz, " + std::to_string(frames) + " frames");

        const double t = rng() % 2 ? 0.045 : double(rng() % 300) / 1000.0;
        engine.RunEnergyBased(t, dir / "e.srt");
        EXPECT_EQ(testwav::ReadFile(dir / "e.srt"), plain::RunEnergyBased(ref, t));

        const double gt = rng() % 2 ? 0.0015 : double(rng() % 100) / 1000.0;
        const double gp = rng() % 2 ? 0.005 : double(rng() % 100) / 1000.0;
        engine.RunEnergyGlitch(gt, gp, dir / "g.srt");
        EXPECT_EQ(testwav::ReadFile(dir / "g.srt"), plain::RunEnergyGlitch(ref, gt, gp));
    }
}

TEST(DetectionRun, CuesWithoutWritingAreTheCuesARunWrites) {
    // What a preview shows must be what Generate then writes, for every detector, over a
    // table of thresholds, and asking for it must leave no trace in the next run.
    testwav::TempDir dir;
    std::mt19937 rng(5);
    std::vector<int16_t> s(2 * 16000 * 6);
    for (std::size_t i = 0; i < s.size(); ++i) {
        const bool loud = (i / 2 / 3000) % 4 == 1 || (i / 2 / 700) % 9 == 3;
        s[i] = int16_t(int(rng() % 2001) - 1000) * (loud ? (i % 2 ? 20 : 9) : 1);
    }
    testwav::WriteFile(dir / "a.wav", testwav::MakeWav(2, 16000, s));
    kestrun::CVadEngine engine;
    EXPECT_TRUE(engine.CuesEnergyBased(0.045).empty()) << "nothing loaded";
    ASSERT_TRUE(engine.LoadWav(dir / "a.wav"));
    EXPECT_TRUE(engine.CuesSpeech(0.5).empty()) << "no probabilities yet";
    std::vector<float> p(6000 / 32);
    for (std::size_t i = 0; i < p.size(); ++i) {
        p[i] = float(rng() % 1000) / 1000.0f * ((i / 20) % 3 == 1 ? 1.0f : 0.3f);
    }
    engine.SetSpeechProbabilities(p);

    const std::string srt = dir / "a.srt";
    std::size_t different = 0;
    std::string last;
    auto same = [&](const std::vector<kestrun::Segment>& cues, const kestrun::DetectionResult& r) {
        EXPECT_TRUE(r.written);
        EXPECT_EQ(r.cues, cues.size());
        const std::string written = testwav::ReadFile(srt);
        EXPECT_EQ(kestrun::BuildSrt(cues), written);
        different += written != last;
        last = written;
    };
    for (const double t : {0.0, 0.001, 0.01, 0.03, 0.045, 0.1, 0.2, 0.5, 1.0}) {
        SCOPED_TRACE(t);
        const auto cues = engine.CuesEnergyBased(t);
        same(cues, engine.RunEnergyBased(t, srt));
        for (const double prefilter : {0.0, 0.005, 0.05}) {
            const auto glitch = engine.CuesEnergyGlitch(t / 10, prefilter);
            same(glitch, engine.RunEnergyGlitch(t / 10, prefilter, srt));
        }
        for (const bool refine : {true, false}) {
            const auto speech = engine.CuesSpeech(t, refine);
            same(speech, engine.RunSpeech(t, srt, refine));
        }
    }
    EXPECT_GT(different, 10u) << "the table should give many different cue lists";
}
