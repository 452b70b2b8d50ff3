// Tests of the wavegain.exe adapter, run from beside kestrun-cli as the worker runs it: the
// levels it brings speech to, the files it leaves, its dither modes and its failures; and
// once end to end through kestrun-cli --norm.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "CliRunner.h"
#include "TestWav.h"

namespace {

namespace fs = std::filesystem;
using kestrun::test::RunCli;
using kestrun::test::RunOptions;
using kestrun::test::RunProgram;
using kestrun::test::RunResult;
using testwav::MakeWav;
using testwav::ReadFile;
using testwav::TempDir;
using testwav::WriteFile;

const std::string WAVEGAIN = (fs::path(KESTRUN_CLI).parent_path() / "wavegain.exe").string();

struct Wav {
    uint16_t channels = 0;
    uint32_t rate = 0;
    std::vector<int16_t> samples; // interleaved
};

uint32_t Get(const std::string& b, std::size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = v << 8 | uint8_t(b[at + std::size_t(i)]);
    }
    return v;
}

// Only the canonical layout passes: 44-byte header, 16-bit PCM, sizes that match the file.
bool ReadCanonical(const std::string& path, Wav* wav) {
    const std::string b = ReadFile(path);
    if (b.size() < 44 || b.compare(0, 4, "RIFF") != 0 || Get(b, 4, 4) != b.size() - 8 ||
        b.compare(8, 8, "WAVEfmt ") != 0 || Get(b, 16, 4) != 16 || Get(b, 20, 2) != 1 ||
        Get(b, 34, 2) != 16 || b.compare(36, 4, "data") != 0 || Get(b, 40, 4) != b.size() - 44) {
        return false;
    }
    wav->channels = uint16_t(Get(b, 22, 2));
    wav->rate = Get(b, 24, 4);
    wav->samples.resize((b.size() - 44) / 2);
    for (std::size_t i = 0; i < wav->samples.size(); ++i) {
        wav->samples[i] = int16_t(Get(b, 44 + 2 * i, 2));
    }
    return Get(b, 32, 2) == wav->channels * 2u && Get(b, 28, 4) == wav->rate * wav->channels * 2;
}

double RmsDb(const std::vector<int16_t>& samples) {
    double sum = 0;
    for (const int16_t s : samples) {
        sum += double(s) * s;
    }
    return 10 * std::log10(sum / double(samples.size()) / (32768.0 * 32768.0));
}

RunResult Gain(const std::string& file, const std::string& gain, const std::string& dither) {
    RunOptions options;
    options.workDir = fs::path(file).parent_path().string();
    return RunProgram({WAVEGAIN, "-t", "-r", "-g", gain, "-y", "-d", dither, file}, options);
}

std::set<std::string> Listing(const fs::path& dir) {
    std::set<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
        names.insert(e.path().filename().string());
    }
    return names;
}

// Two seconds of a 440 Hz tone, for the cases that need a WAV but not speech.
std::vector<uint8_t> Tone(uint16_t channels, uint32_t rate) {
    std::vector<int16_t> s;
    for (uint32_t i = 0; i < 2 * rate; ++i) {
        s.insert(s.end(), channels, int16_t(3000 * std::sin(i * 2 * M_PI * 440 / rate)));
    }
    return MakeWav(channels, rate, s);
}

// Speech from scripts/make-speech.sh (44,100 Hz stereo, both sides equal), built once.
TempDir* speechDir = nullptr;
Wav speech;
std::string speechError;

class WaveGainSpeech : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        speechDir = new TempDir;
        const std::string path = *speechDir / "speech.wav";
        const RunResult r = RunProgram({"sh", KESTRUN_SOURCE_DIR "/scripts/make-speech.sh", path});
        if (r.status != 0 || !ReadCanonical(path, &speech)) {
            speechError = "make-speech.sh failed: " + r.err;
        }
    }
    static void TearDownTestSuite() {
        delete speechDir;
        speechDir = nullptr;
    }
    void SetUp() override {
        if (RunProgram({"sh", "-c", "command -v ffmpeg"}).status != 0) {
            GTEST_SKIP() << "ffmpeg is not installed";
        }
        ASSERT_TRUE(speechError.empty()) << speechError;
    }

    // The speech scaled by factor, as `channels` channels: 1 takes the left side, 6 puts it
    // in the centre of a 5.1 layout with the other five silent.
    static std::vector<uint8_t> Speech(double factor, uint16_t channels = 2) {
        std::vector<int16_t> out;
        for (std::size_t i = 0; i < speech.samples.size(); i += 2) {
            const auto v = int16_t(std::lround(speech.samples[i] * factor));
            const std::vector<int16_t> frame = channels == 1 ? std::vector<int16_t>{v}
                                               : channels == 2
                                                   ? std::vector<int16_t>{v, v}
                                                   : std::vector<int16_t>{0, 0, v, 0, 0, 0};
            out.insert(out.end(), frame.begin(), frame.end());
        }
        return MakeWav(channels, speech.rate, out);
    }

    // Writes bytes to name, normalises it, and returns what came back.
    Wav Normalised(const std::vector<uint8_t>& bytes, const std::string& name,
                   const std::string& gain = "0", const std::string& dither = "0") {
        const std::string path = dir / name;
        WriteFile(path, bytes);
        const RunResult r = Gain(path, gain, dither);
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        Wav wav;
        EXPECT_TRUE(ReadCanonical(path, &wav)) << name;
        return wav;
    }

    TempDir dir;
};

// Regression: mono came out 3 dB louder than its stereo twin, 5.1 7.6 dB quieter.
TEST_F(WaveGainSpeech, QuietLoudMonoAndSurroundCopiesEndAtOneLevel) {
    const Wav loud = Normalised(Speech(0.9), "loud.wav");
    const Wav quiet = Normalised(Speech(0.1), "quiet.wav");
    const Wav mono = Normalised(Speech(0.1, 1), "mono.wav");
    const Wav surround = Normalised(Speech(0.1, 6), "surround.wav");
    EXPECT_EQ(mono.channels, 1);
    EXPECT_EQ(surround.channels, 2);
    const double level = RmsDb(loud.samples); // about -25 dBFS
    EXPECT_LT(level, -15);
    EXPECT_NEAR(RmsDb(quiet.samples), level, 1.0);
    EXPECT_NEAR(RmsDb(mono.samples), level, 1.0);
    EXPECT_NEAR(RmsDb(surround.samples), level, 1.0);
}

TEST_F(WaveGainSpeech, ExtraGainIsAddedInDecibelsAndFullScaleClips) {
    const Wav zero = Normalised(Speech(0.1), "zero.wav", "0");
    EXPECT_NEAR(RmsDb(Normalised(Speech(0.1), "plus.wav", "6").samples), RmsDb(zero.samples) + 6,
                0.5);
    EXPECT_NEAR(RmsDb(Normalised(Speech(0.1), "minus.wav", "-12").samples),
                RmsDb(zero.samples) - 12, 0.5);
    // 12 dB more drives the peaks well past full scale: they must stop there, not wrap.
    const Wav loud = Normalised(Speech(0.1), "loud.wav", "12");
    ASSERT_EQ(loud.samples.size(), zero.samples.size());
    int atFullScale = 0;
    for (std::size_t i = 0; i < zero.samples.size(); ++i) {
        atFullScale += loud.samples[i] >= 32767 || loud.samples[i] <= -32768;
        if (std::abs(zero.samples[i]) > 4096) {
            ASSERT_EQ(loud.samples[i] > 0, zero.samples[i] > 0) << "sample " << i;
        }
    }
    EXPECT_GT(atFullScale, 0);
}

TEST_F(WaveGainSpeech, NoneAndUnknownDitherRoundPlainlyAndTheOthersDiffer) {
    const std::vector<uint8_t> input = Speech(0.1);
    const Wav none = Normalised(input, "none.wav", "0", "0");
    for (const char* d : {"-2", "5", "x"}) {
        EXPECT_EQ(Normalised(input, "other.wav", "0", d).samples, none.samples) << d;
    }
    std::set<std::vector<int16_t>> distinct{none.samples};
    for (const char* d : {"1", "2", "3", "4"}) {
        const Wav dithered = Normalised(input, "dithered.wav", "0", d);
        ASSERT_EQ(dithered.samples.size(), none.samples.size()) << d;
        int maxDiff = 0;
        for (std::size_t i = 0; i < none.samples.size(); ++i) {
            maxDiff = std::max(maxDiff, std::abs(dithered.samples[i] - none.samples[i]));
        }
        // Noise in the low bits, not a different signal.
        EXPECT_GT(maxDiff, 0) << d;
        EXPECT_LT(maxDiff, 256) << d;
        distinct.insert(dithered.samples);
    }
    EXPECT_EQ(distinct.size(), 5u);
}

TEST_F(WaveGainSpeech, OutputKeepsRateChannelsLengthAndModeAndLeavesNothingBehind) {
    struct Case {
        uint16_t channels;
        uint32_t rate;
        bool wide; // handed over as 24-bit, through sox
    };
    // 37,000 Hz is a rate the ReplayGain meter has no table for.
    for (const Case c : {Case{2, 44100, false}, Case{1, 22050, false}, Case{1, 37000, false},
                         Case{2, 8000, false}, Case{2, 48000, true}}) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels at " + std::to_string(c.rate));
        const TempDir folder;
        const std::string path = folder / "in.wav";
        WriteFile(path, Tone(c.channels, c.rate));
        if (c.wide) {
            ASSERT_EQ(RunProgram({"sox", path, "-b", "24", folder / "wide.wav"}).status, 0);
            fs::rename(folder / "wide.wav", path);
        }
        chmod(path.c_str(), 0640);
        const RunResult r = Gain(path, "3", "3");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        Wav out;
        ASSERT_TRUE(ReadCanonical(path, &out));
        EXPECT_EQ(out.channels, c.channels);
        EXPECT_EQ(out.rate, c.rate);
        EXPECT_EQ(out.samples.size(), std::size_t(2) * c.rate * c.channels);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(Listing(folder.path()), std::set<std::string>{"in.wav"});
    }
}

TEST_F(WaveGainSpeech, EndToEndThroughTheCli) {
    const std::string path = dir / "quiet speech.wav";
    WriteFile(path, Speech(0.1));
    Wav in;
    ASSERT_TRUE(ReadCanonical(path, &in));
    testwav::WriteText(dir / "wavegain.tmp", "left by an earlier run");
    const RunResult r = RunCli({"--norm", "1", "--gain", "0", path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(ReadFile(dir / "quiet speech.srt").find("-->"), std::string::npos);
    Wav out;
    ASSERT_TRUE(ReadCanonical(path, &out));
    EXPECT_GT(RmsDb(out.samples), RmsDb(in.samples) + 10);
    EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{"quiet speech.srt", "quiet speech.wav"}));
}

// ---------------------------------------------------------------------------------------

TEST(WaveGainFailures, FileKeepsItsBytesAndNoTemporaryFileIsLeft) {
    if (RunProgram({"sh", "-c", "command -v ffmpeg"}).status != 0) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    // A PATH with the basic tools only, none of them ffmpeg.
    const TempDir bin;
    for (const char* tool : {"sh", "od", "tr", "cut", "dirname", "mktemp", "mv", "rm", "cat", "sed",
                             "tail", "awk", "stat", "chmod"}) {
        for (const std::string dir : {"/usr/bin/", "/bin/"}) {
            if (fs::exists(dir + tool)) {
                fs::create_symlink(dir + tool, bin / tool);
                break;
            }
        }
    }
    const std::vector<std::string> noFfmpeg = {"/usr/bin/env", "PATH=" + bin.path().string()};

    const std::vector<uint8_t> tone = Tone(2, 44100);
    const std::string wav(tone.begin(), tone.end());
    const std::vector<std::string> good = {"-t", "-r", "-g", "0", "-y", "-d", "0", "FILE"};
    auto with = [&](std::size_t at, const std::string& value) {
        std::vector<std::string> a = good;
        a[at] = value;
        return a;
    };
    std::vector<std::string> twoFiles = good;
    twoFiles.push_back("FILE");
    struct Case {
        const char* name;
        std::string content;           // empty: FILE does not exist
        std::vector<std::string> args; // "FILE" stands for its path
        int status;
        std::string says; // the one line on standard error holds this
        std::vector<std::string> prefix = {};
        long long fileSizeLimit = -1;
    };
    const std::string usage = "unexpected arguments";
    const std::vector<Case> cases = {
        {"text", "not a sound file\n", good, 1, "not a WAV file"},
        {"RIFF WAVE with no chunks", std::string("RIFF\4\0\0\0WAVE", 12), good, 1,
         "cannot measure"},
        {"missing", "", good, 1, "no such file"},
        {"gain 13", wav, with(3, "13"), 2, usage},
        {"gain 1.5", wav, with(3, "1.5"), 2, usage},
        {"gain empty", wav, with(3, ""), 2, usage},
        {"options swapped", wav, with(0, "-r"), 2, usage},
        {"no FILE", wav, {good.begin(), good.end() - 1}, 2, usage},
        {"two FILEs", wav, twoFiles, 2, usage},
        {"disk full while writing",
         wav,
         good,
         1,
         "cannot normalise",
         {},
         static_cast<long long>(tone.size() / 2)},
        {"no ffmpeg", wav, good, 127, "ffmpeg not found: apt install ffmpeg", noFfmpeg},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir folder;
        const std::string path = folder / "in.wav";
        if (!c.content.empty()) {
            testwav::WriteText(path, c.content);
        }
        const std::set<std::string> names = Listing(folder.path());
        std::vector<std::string> argv = c.prefix;
        argv.push_back(WAVEGAIN);
        for (const std::string& a : c.args) {
            argv.push_back(a == "FILE" ? path : a);
        }
        RunOptions options;
        options.workDir = folder.path().string();
        options.fileSizeLimit = c.fileSizeLimit;
        const RunResult r = RunProgram(argv, options);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(ReadFile(path), c.content);
        EXPECT_EQ(Listing(folder.path()), names);
    }
}

} // namespace
