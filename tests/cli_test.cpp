// End-to-end tests of kestrun-cli: the binary is run as a user would run it, on real
// speech and on small WAV files built here, and judged only by its exit status, its
// output lines and the SRT files it leaves behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "CliRunner.h"
#include "FakeTool.h"

// Suite names start with "cli" so that `ctest -R cli` picks exactly these tests.
namespace {

namespace fs = std::filesystem;
using kestrun::test::RunCli;
using kestrun::test::RunOptions;
using kestrun::test::RunProgram;
using kestrun::test::RunResult;

const std::string BAD_FILE = "Ошибка. (нет памяти или плохой файл)";

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "kestrun-cli-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

void Put16(std::string& bytes, std::size_t at, uint16_t v) {
    bytes[at] = static_cast<char>(v & 0xff);
    bytes[at + 1] = static_cast<char>(v >> 8);
}

void Put32(std::string& bytes, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xff);
    }
}

uint32_t Get32(const std::string& bytes, std::size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return v;
}

// A canonical 44-byte-header PCM WAV around interleaved 16-bit samples.
std::string Wav(uint32_t rate, uint16_t channels, const std::vector<int16_t>& samples) {
    std::string bytes = "RIFF----WAVEfmt ";
    bytes.resize(36);
    bytes += "data";
    bytes.resize(44 + 2 * samples.size());
    const uint32_t dataSize = static_cast<uint32_t>(2 * samples.size());
    Put32(bytes, 4, 36 + dataSize);
    Put32(bytes, 16, 16);
    Put16(bytes, 20, 1);
    Put16(bytes, 22, channels);
    Put32(bytes, 24, rate);
    Put32(bytes, 28, rate * channels * 2);
    Put16(bytes, 32, static_cast<uint16_t>(channels * 2));
    Put16(bytes, 34, 16);
    Put32(bytes, 40, dataSize);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        Put16(bytes, 44 + 2 * i, static_cast<uint16_t>(samples[i]));
    }
    return bytes;
}

// The golden signal: 8,000 Hz, where one analysis frame is 70 samples (8.75 ms), built
// from 180 blocks of 70 samples that are either silent or a tone at the Nyquist
// frequency (+a, -a, ...), so every frame energy is a small multiple of one block's.
constexpr uint32_t GOLDEN_RATE = 8000;
constexpr std::size_t BLOCK = 70;
constexpr std::size_t BLOCKS = 180;

struct Burst {
    std::size_t first; // first block
    std::size_t end;   // one past the last block
    int16_t amplitude;
};

std::vector<int16_t> Bursts(const std::vector<Burst>& bursts) {
    std::vector<int16_t> samples(BLOCKS * BLOCK, 0);
    for (const Burst& b : bursts) {
        for (std::size_t i = b.first * BLOCK; i < b.end * BLOCK; ++i) {
            samples[i] = static_cast<int16_t>(i % 2 == 0 ? b.amplitude : -b.amplitude);
        }
    }
    return samples;
}

// Frames are 3-block windows starting at each block; with energy 64 for a full burst
// block, the loudest frame is 3 x 64.
//   A = blocks 1..20 at 8000: frames 0..20 reach the threshold, the walk ends one past
//       frame 21, so frames [0, 22) = [0 ms, 192 ms].
//   B = blocks 40..59 at 8000: frames [38, 61) = [332 ms, 533 ms]; it starts 140 ms
//       after A ends, less than 300 ms, so the two merge into [0, 533].
//   C = blocks 120..139 at 4000: ratios 1/12 to 1/4, above 0.045: frames [118, 141) =
//       [1032 ms, 1233 ms], 499 ms after B, a cue of its own.
//   D = blocks 160..169 at 1000: at most 1/64 of the loudest frame, below 0.045: no cue.
// Cues run from start - 85 (not below 0) to end + 15.
const Burst A{1, 21, 8000};
const Burst B{40, 60, 8000};
const Burst C{120, 140, 4000};
const Burst D{160, 170, 1000};
const std::string GOLDEN_SRT = "1\r\n00:00:00,000 --> 00:00:00,548\r\n1\r\n\r\n"
                               "2\r\n00:00:00,947 --> 00:00:01,248\r\n2\r\n\r\n";

std::string GoldenMono() {
    return Wav(GOLDEN_RATE, 1, Bursts({A, B, C, D}));
}

// Two channels built from burst lists of their own.
std::string Stereo(const std::vector<Burst>& left, const std::vector<Burst>& right) {
    const std::vector<int16_t> l = Bursts(left);
    const std::vector<int16_t> r = Bursts(right);
    std::vector<int16_t> samples;
    for (std::size_t i = 0; i < l.size(); ++i) {
        samples.push_back(l[i]);
        samples.push_back(r[i]);
    }
    return Wav(GOLDEN_RATE, 2, samples);
}

// The golden bursts spread over two channels: A and C on the left, B and D on the right.
std::string GoldenStereo() {
    return Stereo({A, C}, {B, D});
}

std::string CueLine(const std::string& srtPath, int cues) {
    return srtPath + ": " + std::to_string(cues) + " cues\n";
}

std::string BadFileLine(const std::string& file) {
    return "kestrun-cli: " + file + ": " + BAD_FILE + "\n";
}

// Standard error with the detail a refused WAV's line may carry cut off, so that a test can
// compare its lines whatever words the worker finds for each file:
//   "kestrun-cli: F: MESSAGE: 24-битный WAV, 3 канала\n" -> "kestrun-cli: F: MESSAGE\n"
std::string WithoutDetails(const std::string& err) {
    std::string lines;
    std::size_t at = 0;
    while (at < err.size()) {
        const std::size_t end = std::min(err.find('\n', at), err.size());
        std::string line = err.substr(at, end - at);
        const std::size_t message = line.find(": " + BAD_FILE + ": ");
        if (message != std::string::npos) {
            line.resize(message + 2 + BAD_FILE.size());
        }
        lines += line + "\n";
        at = end + 1;
    }
    return lines;
}

struct Cue {
    int start = 0; // ms
    int end = 0;
};

bool ReadTime(const std::string& text, std::size_t& pos, int* ms) {
    static const std::string shape = "00:00:00,000";
    if (pos + shape.size() > text.size()) {
        return false;
    }
    int fields[4] = {0, 0, 0, 0};
    int field = 0;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const char c = text[pos + i];
        if (shape[i] != '0') {
            if (c != shape[i]) {
                return false;
            }
            ++field;
        } else if (c < '0' || c > '9') {
            return false;
        } else {
            fields[field] = fields[field] * 10 + (c - '0');
        }
    }
    pos += shape.size();
    *ms = ((fields[0] * 60 + fields[1]) * 60 + fields[2]) * 1000 + fields[3];
    return true;
}

// Reads an SRT as kestrun writes it; any byte out of that layout fails the test.
std::vector<Cue> ParseSrt(const std::string& text) {
    std::vector<Cue> cues;
    std::size_t pos = 0;
    auto take = [&](const std::string& expected) {
        if (text.compare(pos, expected.size(), expected) != 0) {
            return false;
        }
        pos += expected.size();
        return true;
    };
    while (pos < text.size()) {
        const std::string n = std::to_string(cues.size() + 1);
        Cue cue;
        if (!take(n + "\r\n") || !ReadTime(text, pos, &cue.start) || !take(" --> ") ||
            !ReadTime(text, pos, &cue.end) || !take("\r\n") || !take(n + "\r\n\r\n")) {
            ADD_FAILURE() << "SRT layout broken in cue " << n << " at byte " << pos;
            return cues;
        }
        cues.push_back(cue);
    }
    return cues;
}

std::set<std::string> Listing(const fs::path& dir) {
    std::set<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
        names.insert(e.path().filename().string());
    }
    return names;
}

// ---------------------------------------------------------------------------------------
// Real speech: three espeak-ng phrases with known pauses between them.

struct Phrase {
    double start = 0; // ms
    double end = 0;
};

// Built by each speech suite's SetUpTestSuite. ctest runs every case in a process of its
// own, so each speech case pays for one build, a fraction of a second.
struct SpeechSample {
    TempDir dir;
    std::vector<Phrase> phrases;
    std::string error; // why the sample could not be built
};

SpeechSample* speech = nullptr;

// sox's arguments for 16-bit PCM output at this rate and channel count.
std::vector<std::string> Pcm16(const char* rate, const char* channels) {
    return {"-r", rate, "-c", channels, "-b", "16", "-e", "signed-integer"};
}

bool Run(std::vector<std::string> argv, std::initializer_list<std::vector<std::string>> more,
         std::string* error) {
    for (const std::vector<std::string>& m : more) {
        argv.insert(argv.end(), m.begin(), m.end());
    }
    const RunResult r = RunProgram(argv);
    if (r.status != 0) {
        *error = argv[0] + " exited " + std::to_string(r.status) + ": " + r.err;
        return false;
    }
    return true;
}

// Sample length of a mono 16-bit WAV with the canonical header, in ms.
double WavLengthMs(const std::string& path) {
    const std::string bytes = ReadFile(path);
    if (bytes.size() < 44 || bytes.compare(36, 4, "data") != 0) {
        return -1;
    }
    return Get32(bytes, 40) / 2.0 * 1000.0 / Get32(bytes, 24);
}

// A soundtrack-like scene from the phrases: a chord with a tremolo under all of them, a
// 100 ms full-scale noise burst in the pause after the second phrase, and six seconds of
// the chord alone after the last. Only the phrases are speech.
void BuildScene(SpeechSample& s, double speechMs) {
    const std::string length = std::to_string((speechMs + 6000) / 1000);
    const std::string burstAt = std::to_string((s.phrases[1].end + 600) / 1000);
    const std::string chord = s.dir / "chord.wav";
    const std::string burst = s.dir / "burst.wav";
    const std::string padded = s.dir / "padded.wav";
    Run({"sox",    "-n",      "-r",   "22050", "-c",    "3",    "-b",     "16",
         chord,    "synth",   length, "sine",  "220",   "sine", "277.18", "sine",
         "329.63", "tremolo", "3",    "40",    "remix", "-",    "vol",    "0.12"},
        {}, &s.error) &&
        Run({"sox", "-n", "-r", "22050", "-c", "1", "-b", "16", burst, "synth", "0.1", "whitenoise",
             "vol", "0.99", "pad", burstAt},
            {}, &s.error) &&
        Run({"sox", s.dir / "mono22k.wav", padded, "pad", "0", "6"}, {}, &s.error) &&
        Run({"sox", "-m", "-v", "1", padded, "-v", "1", chord, "-v", "1", burst},
            {Pcm16("44100", "2"), {s.dir / "scene44k.wav"}}, &s.error);
}

void BuildSpeech(SpeechSample& s) {
    const std::vector<std::string> texts = {"Hello, this is a test of the subtitle timer.",
                                            "The second sentence comes after a pause.",
                                            "And this is the last one."};
    // Silence before, between and after the phrases, in seconds.
    const std::vector<std::string> gaps = {"0.5", "1.0", "1.5", "0.5"};
    std::vector<std::string> concat = {"sox"};
    double at = 0;
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        const std::string gap = s.dir / ("gap" + std::to_string(i) + ".wav");
        if (!Run({"sox", "-n"}, {Pcm16("22050", "1"), {gap, "trim", "0", gaps[i]}}, &s.error)) {
            return;
        }
        concat.push_back(gap);
        at += std::stod(gaps[i]) * 1000;
        if (i == texts.size()) {
            break;
        }
        // espeak-ng pads its output with silence; trimmed, the phrase's length is the
        // extent of its speech.
        const std::string raw = s.dir / ("raw" + std::to_string(i) + ".wav");
        const std::string phrase = s.dir / ("phrase" + std::to_string(i) + ".wav");
        if (!Run({"espeak-ng", "-s", "150", "-w", raw, texts[i]}, {}, &s.error) ||
            !Run({"sox", raw},
                 {Pcm16("22050", "1"),
                  {phrase, "silence", "1", "0.01", "1%", "reverse", "silence", "1", "0.01", "1%",
                   "reverse"}},
                 &s.error)) {
            return;
        }
        const double length = WavLengthMs(phrase);
        if (length <= 0) {
            s.error = "cannot measure " + phrase;
            return;
        }
        s.phrases.push_back({at, at + length});
        at += length;
        concat.push_back(phrase);
    }
    const std::string mono = s.dir / "mono22k.wav";
    if (Run(concat, {Pcm16("22050", "1"), {mono}}, &s.error) &&
        Run({"sox", mono}, {Pcm16("44100", "2"), {s.dir / "stereo44k.wav"}}, &s.error)) {
        Run({"sox", mono}, {Pcm16("44100", "2"), {s.dir / "left44k.wav", "remix", "1", "0"}},
            &s.error);
    }
    if (s.error.empty()) {
        BuildScene(s, at);
    }
}

class SpeechFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (speech == nullptr) {
            speech = new SpeechSample;
            BuildSpeech(*speech);
        }
    }
    static void TearDownTestSuite() {
        delete speech;
        speech = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(speech, nullptr);
        ASSERT_TRUE(speech->error.empty()) << speech->error;
    }

    static std::string File(const std::string& name) { return speech->dir / name; }
};

struct SpeechCase {
    const char* name;
    const char* file;
    const char* detector;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const SpeechCase& c, std::ostream* os) {
    *os << c.name;
}

class cliSpeechCues : public SpeechFixture, public ::testing::WithParamInterface<SpeechCase> {};

TEST_P(cliSpeechCues, CuesLieOnTheSpokenPhrasesAndCoverThem) {
    const SpeechCase& c = GetParam();
    const std::string srt = speech->dir / (std::string(c.name) + ".srt");
    const RunResult r = RunCli({"-d", c.detector, "-o", srt, File(c.file)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<Cue> cues = ParseSrt(ReadFile(srt));
    EXPECT_EQ(r.out, CueLine(srt, static_cast<int>(cues.size())));

    const std::vector<Phrase>& phrases = speech->phrases;
    // Word gaps may split a phrase, but never into more than a few cues.
    EXPECT_GE(cues.size(), phrases.size());
    EXPECT_LE(cues.size(), 3 * phrases.size());

    // Cue padding is -85/+15 ms; the detector's three-frame window and start refinement
    // may add a few frames on either side, but never reach far into a pause.
    constexpr double SLACK = 150;
    std::vector<double> covered(phrases.size(), 0.0);
    for (std::size_t i = 0; i < cues.size(); ++i) {
        const Cue& cue = cues[i];
        SCOPED_TRACE("cue " + std::to_string(i + 1));
        EXPECT_LT(cue.start, cue.end);
        if (i + 1 < cues.size()) {
            EXPECT_LE(cue.end, cues[i + 1].start);
        }
        int home = 0;
        for (std::size_t p = 0; p < phrases.size(); ++p) {
            const double from = std::max<double>(cue.start, phrases[p].start);
            const double to = std::min<double>(cue.end, phrases[p].end);
            if (to > from) {
                ++home;
                covered[p] += to - from;
                EXPECT_GE(cue.start, phrases[p].start - 85 - SLACK);
                EXPECT_LE(cue.end, phrases[p].end + 15 + SLACK);
            }
        }
        EXPECT_EQ(home, 1) << "cue " << cue.start << ".." << cue.end
                           << " ms must overlap exactly one phrase";
    }
    for (std::size_t p = 0; p < phrases.size(); ++p) {
        EXPECT_GE(covered[p], 0.5 * (phrases[p].end - phrases[p].start))
            << "phrase " << p + 1 << " at " << phrases[p].start << ".." << phrases[p].end
            << " ms is mostly without a cue";
    }
}

INSTANTIATE_TEST_SUITE_P(MonoAndStereo, cliSpeechCues,
                         ::testing::Values(SpeechCase{"Mono22kEnergy", "mono22k.wav", "energy"},
                                           SpeechCase{"Mono22kGlitch", "mono22k.wav", "glitch"},
                                           SpeechCase{"Stereo44kEnergy", "stereo44k.wav", "energy"},
                                           SpeechCase{"Stereo44kGlitch", "stereo44k.wav", "glitch"},
                                           SpeechCase{"Mono22kSpeech", "mono22k.wav", "speech"},
                                           SpeechCase{"Stereo44kSpeech", "stereo44k.wav", "speech"},
                                           SpeechCase{"SceneSpeech", "scene44k.wav", "speech"}),
                         [](const auto& param) { return std::string(param.param.name); });

class cliSpeechRuns : public SpeechFixture {};

TEST_F(cliSpeechRuns, SilentRightChannelKeepsTheLeftChannelsCues) {
    // A silent right channel once hid all the speech of the left one.
    for (const std::string detector : {"energy", "glitch"}) {
        SCOPED_TRACE(detector);
        const std::string both = speech->dir / ("both-" + detector + ".srt");
        const std::string left = speech->dir / ("left-" + detector + ".srt");
        ASSERT_EQ(RunCli({"-d", detector, "-o", both, File("stereo44k.wav")}).status, 0);
        const RunResult r = RunCli({"-d", detector, "-o", left, File("left44k.wav")});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_FALSE(ParseSrt(ReadFile(left)).empty());
        EXPECT_EQ(ReadFile(left), ReadFile(both));
    }
}

TEST_F(cliSpeechRuns, ResultsDependOnlyOnTheFile) {
    // Guards against state carried from one file to the next inside a run (the files
    // differ in rate and channels) and against runs that differ from each other.
    const std::vector<std::string> names = {"stereo44k", "mono22k", "left44k"};
    for (const std::string detector : {"energy", "glitch", "speech"}) {
        SCOPED_TRACE(detector);
        const fs::path together = speech->dir / ("together-" + detector);
        const fs::path alone = speech->dir / ("alone-" + detector);
        fs::create_directories(together);
        fs::create_directories(alone);
        std::vector<std::string> args = {"-d", detector, "--out-dir", together.string()};
        for (const std::string& n : names) {
            args.push_back(File(n + ".wav"));
            ASSERT_EQ(
                RunCli({"-d", detector, "--out-dir", alone.string(), File(n + ".wav")}).status, 0);
        }
        ASSERT_EQ(RunCli(args).status, 0);
        std::vector<std::string> first;
        for (const std::string& n : names) {
            first.push_back(ReadFile(together / (n + ".srt")));
            EXPECT_EQ(first.back(), ReadFile(alone / (n + ".srt"))) << n;
        }
        // Again, over the SRTs of the first run.
        ASSERT_EQ(RunCli(args).status, 0);
        for (std::size_t i = 0; i < names.size(); ++i) {
            EXPECT_EQ(ReadFile(together / (names[i] + ".srt")), first[i]) << names[i];
        }
    }
}

TEST_F(cliSpeechRuns, WithoutItsModelOnlyTheSpeechDetectorFails) {
    TempDir tools;
    const std::string model = tools / "silero_vad_16k_op15.onnx";
    const std::string a = File("mono22k.wav");
    const std::string b = File("stereo44k.wav");
    const std::string srt = speech->dir / "nomodel.srt";
    RunResult r = RunCli({"-d", "speech", "--tool-dir", tools.path().string(), "-o", srt, a});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kestrun-cli: " + a + ": speech model not found: " + model + "\n");
    EXPECT_FALSE(fs::exists(srt));
    // Every file is told, not only the first.
    r = RunCli({"-d", "speech", "--tool-dir", tools.path().string(), "--out-dir",
                tools.path().string(), a, b});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kestrun-cli: " + a + ": speech model not found: " + model + "\n" +
                         "kestrun-cli: " + b + ": speech model not found: " + model + "\n");
    r = RunCli({"-d", "energy", "--tool-dir", tools.path().string(), "-o", srt, a});
    EXPECT_EQ(r.status, 0) << r.err;

    WriteFile(model, "this is not a model");
    r = RunCli({"-d", "speech", "--tool-dir", tools.path().string(), "-o", srt, a});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("kestrun-cli: " + a + ": speech model damaged: " + model + ": ", 0), 0u)
        << r.err;
    r = RunCli({"-d", "glitch", "--tool-dir", tools.path().string(), "-o", srt, a});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(cliSpeechRuns, InterruptStopsTheSpeechModelMidFile) {
    // Two hours at 4 kHz: a small file that keeps the model busy for seconds.
    std::vector<int16_t> samples(4000u * 7200u);
    uint32_t x = 1;
    for (int16_t& v : samples) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<int16_t>(static_cast<int32_t>(x >> 16) % 2000 - 1000);
    }
    const std::string wav = speech->dir / "long4k.wav";
    WriteFile(wav, Wav(4000, 1, samples));
    samples = {};
    RunOptions options;
    options.whileRunning = [](int pid) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        kill(pid, SIGINT);
    };
    const RunResult r = RunCli({"-d", "speech", "--threads", "1", wav}, options);
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kestrun-cli: прервано\n");
    EXPECT_FALSE(fs::exists(speech->dir / "long4k.srt"));
}

TEST_F(cliSpeechRuns, ThreadCountDoesNotChangeTheCues) {
    const std::string one = speech->dir / "one.srt";
    const std::string three = speech->dir / "three.srt";
    ASSERT_EQ(RunCli({"-d", "speech", "--threads", "1", "-o", one, File("scene44k.wav")}).status,
              0);
    ASSERT_EQ(RunCli({"-d", "speech", "--threads", "3", "-o", three, File("scene44k.wav")}).status,
              0);
    EXPECT_FALSE(ParseSrt(ReadFile(one)).empty());
    EXPECT_EQ(ReadFile(one), ReadFile(three));
}

// ---------------------------------------------------------------------------------------
// Small files built in the test.

TEST_F(cliSpeechRuns, RealFlacDecoderGivesTheSameSrtAsTheSourceWav) {
    if (RunProgram({"sh", "-c", "command -v flac"}).status != 0) {
        GTEST_SKIP() << "Debian's flac is not installed";
    }
    // Debian's flac takes the command line the runner writes as it stands.
    const std::string tools = speech->dir / "flac tools";
    fs::create_directories(tools);
    kestrun::test::WriteTool(tools, "flac.exe", "exec flac \"$@\"");
    const std::string flac = speech->dir / "speech -1 $x.flac";
    std::string error;
    ASSERT_TRUE(::Run({"flac", "-s", "-f", "-o", flac, File("stereo44k.wav")}, {}, &error))
        << error;

    const RunResult reference =
        RunCli({"-o", speech->dir / "reference.srt", File("stereo44k.wav")});
    ASSERT_EQ(reference.status, 0) << reference.err;
    const RunResult r = RunCli({"--tool-dir", tools, flac});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              CueLine(speech->dir / "speech -1 $x.srt",
                      static_cast<int>(ParseSrt(ReadFile(speech->dir / "reference.srt")).size())));
    EXPECT_EQ(ReadFile(speech->dir / "speech -1 $x.srt"), ReadFile(speech->dir / "reference.srt"));
}

class CliTest : public ::testing::Test {
protected:
    // Writes bytes to a file of the temporary folder and returns its path.
    std::string Make(const std::string& name, const std::string& bytes) {
        const std::string path = dir_ / name;
        WriteFile(path, bytes);
        return path;
    }

    TempDir dir_;
};

using cliGolden = CliTest;

TEST_F(cliGolden, BurstsGiveTheWorkedOutCues) {
    const std::string wav = Make("bursts.wav", GoldenMono());
    const RunResult r = RunCli({wav});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, CueLine(dir_ / "bursts.srt", 2));
    EXPECT_EQ(ReadFile(dir_ / "bursts.srt"), GOLDEN_SRT);
}

TEST_F(cliGolden, EachFormatHoldsTheSameCues) {
    const std::string wav = Make("bursts.wav", GoldenMono());
    const std::tuple<std::string, std::string, std::string> formats[] = {
        {"srt", "bursts.srt", GOLDEN_SRT},
        {"vtt", "bursts.vtt",
         "WEBVTT\n\n1\n00:00:00.000 --> 00:00:00.548\n1\n\n"
         "2\n00:00:00.947 --> 00:00:01.248\n2\n\n"},
        {"labels", "bursts.txt", "0.000000\t0.548000\t1\n0.947000\t1.248000\t2\n"},
        {"csv", "bursts.csv", "start,end\n0.000,0.548\n0.947,1.248\n"},
    };
    for (const auto& [format, name, text] : formats) {
        SCOPED_TRACE(format);
        const RunResult r = RunCli({"--format", format, wav});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, CueLine(dir_ / name, 2));
        EXPECT_EQ(ReadFile(dir_ / name), text);
    }
    // -o names the file whatever its format; a decoded WAV would take its name less the
    // format's extension.
    const RunResult named = RunCli({"--format", "csv", "-o", dir_ / "cues.csv", wav});
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(ReadFile(dir_ / "cues.csv"), std::get<2>(formats[3]));

    const RunResult bad = RunCli({"--format", "ass", Make("other.wav", GoldenMono())});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("--format"), std::string::npos) << bad.err;
    EXPECT_FALSE(fs::exists(dir_ / "other.srt"));
}

TEST_F(cliGolden, BothChannelsAreAnalysedAndMergedTogether) {
    // Guards against reading only one channel, or one channel's samples as both.
    const std::string wav = Make("bursts.wav", GoldenStereo());
    const RunResult r = RunCli({wav});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, CueLine(dir_ / "bursts.srt", 2));
    EXPECT_EQ(ReadFile(dir_ / "bursts.srt"), GOLDEN_SRT);

    // Either channel alone gives the same cues, whichever detector runs.
    const std::string left = Make("left.wav", Stereo({A, B, C, D}, {}));
    const std::string right = Make("right.wav", Stereo({}, {A, B, C, D}));
    for (const std::string detector : {"energy", "glitch"}) {
        SCOPED_TRACE(detector);
        ASSERT_EQ(RunCli({"-d", detector, left, right}).status, 0);
        EXPECT_FALSE(ParseSrt(ReadFile(dir_ / "left.srt")).empty());
        EXPECT_EQ(ReadFile(dir_ / "right.srt"), ReadFile(dir_ / "left.srt"));
    }
}

TEST_F(cliGolden, SilenceAndSubFrameFilesGiveAnEmptySrt) {
    // Guards against the 0/0 ratios of an all-silent file, and a file shorter than one
    // frame, turning into cues or a crash.
    const std::string silent = Make("silent.wav", Wav(GOLDEN_RATE, 2, std::vector<int16_t>(2000)));
    const std::string tiny = Make("tiny.wav", Wav(GOLDEN_RATE, 1, {12000}));
    for (const std::string detector : {"energy", "glitch"}) {
        SCOPED_TRACE(detector);
        const RunResult r = RunCli({"-d", detector, silent, tiny});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, CueLine(dir_ / "silent.srt", 0) + CueLine(dir_ / "tiny.srt", 0));
        EXPECT_TRUE(fs::exists(dir_ / "silent.srt"));
        EXPECT_EQ(ReadFile(dir_ / "silent.srt"), "");
        EXPECT_EQ(ReadFile(dir_ / "tiny.srt"), "");
    }
}

TEST_F(cliGolden, InfoPrintsRateChannelsAndDuration) {
    // The duration counts sample frames, not samples of all channels.
    const RunResult mono = RunCli({"--info", Make("mono.wav", GoldenMono())});
    EXPECT_EQ(mono.status, 0);
    EXPECT_EQ(mono.out, "Sample rate: 8000\nnChannels: 1\nDuration: 00:00:01,575\n");
    const RunResult stereo = RunCli({"--info", Make("stereo.wav", GoldenStereo())});
    EXPECT_EQ(stereo.status, 0);
    EXPECT_EQ(stereo.out, "Sample rate: 8000\nnChannels: 2\nDuration: 00:00:01,575\n");
    EXPECT_EQ(Listing(dir_.path()), (std::set<std::string>{"mono.wav", "stereo.wav"}));
}

using cliUsage = CliTest;

TEST_F(cliUsage, BadUsageExitsTwoAndWritesNothing) {
    const std::string wav = Make("talk.wav", GoldenMono());
    const std::string other = Make("other.wav", GoldenMono());
    const std::string notAFolder = Make("plain", "x");
    const std::string missing = dir_ / "missing";
    const std::vector<std::vector<std::string>> cases = {
        {"-t", "0,05", wav},
        {"-t", "1.5", wav},
        {"--threshold=-0.1", wav},
        {"-t", "nan", wav},
        {"-t", "inf", wav},
        {"-t", "1e999", wav},
        {"-t", "", wav},
        {"-t", " 0.1", wav},
        {"-t", "0.1x", wav},
        {"-d", "glitch", "-p", "1.01", wav},
        {"-d", "glitch", "--prefilter", "0.5.1", wav},
        {"-d", "loudness", wav},
        {"-d", "speech", "-t", "1.5", wav},
        {"--threads", "0", wav},
        {"--threads", "two", wav},
        {"--no-such-option", wav},
        {"-o", dir_ / "x.srt", wav, other},
        {"-o", dir_ / "x.srt", "--out-dir", dir_.path().string(), wav},
        {"--out-dir", missing, wav},
        {"--out-dir", notAFolder, wav},
        {},
    };
    for (const std::vector<std::string>& args : cases) {
        std::string shown;
        for (const std::string& a : args) {
            shown += "[" + a + "] ";
        }
        SCOPED_TRACE(shown);
        const RunResult r = RunCli(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
    EXPECT_EQ(Listing(dir_.path()), (std::set<std::string>{"talk.wav", "other.wav", "plain"}));
}

TEST_F(cliUsage, ThresholdsAtTheBoundsAreAccepted) {
    const std::string wav = Make("talk.wav", GoldenMono());
    const std::vector<std::vector<std::string>> cases = {
        {"-t", "0"},
        {"-t", "1"},
        {"--threshold", "0.5"},
        {"-d", "glitch", "-t", "1", "-p", "0"},
        {"--detector", "glitch", "--prefilter", "1", "--threshold", "0"},
    };
    for (std::vector<std::string> args : cases) {
        args.push_back(wav);
        SCOPED_TRACE(args[1]);
        const RunResult r = RunCli(args);
        EXPECT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(r.out.rfind(dir_ / "talk.srt: ", 0), 0u) << r.out;
    }
}

TEST_F(cliUsage, HelpAndVersionExitZero) {
    for (const std::string flag : {"--help", "--version"}) {
        SCOPED_TRACE(flag);
        const RunResult r = RunCli({flag});
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

using cliLanguage = CliTest;

// The messages, the help and CLI11's own errors in the language the environment or --lang
// chooses; the lines on standard output stay as they are for scripts.
TEST_F(cliLanguage, MessagesAndHelpInTheLanguageChosen) {
    const auto environment = [](const char* lang) {
        RunOptions options;
        options.environment = {
            {"LANGUAGE", ""}, {"LC_ALL", ""}, {"LC_MESSAGES", ""}, {"LANG", lang}};
        return options;
    };
    const RunOptions english = environment("en_US.UTF-8");
    const RunOptions russian = environment("ru_RU.UTF-8");
    const std::string missing = dir_ / "missing.xyz";
    const std::string englishLine =
        "kestrun-cli: " + missing + ": This file type is not supported.: file not found\n";
    const std::string russianLine =
        "kestrun-cli: " + missing + ": Данный тип файла не поддерживается.: файл не найден\n";
    EXPECT_EQ(RunCli({missing}, english).err, englishLine);
    EXPECT_EQ(RunCli({missing}, russian).err, russianLine);
    EXPECT_EQ(RunCli({"--lang", "ru", missing}, english).err, russianLine);
    EXPECT_EQ(RunCli({missing, "--lang=en"}, russian).err, englishLine);

    const RunResult englishHelp = RunCli({"--help"}, english);
    EXPECT_NE(englishHelp.out.find("Usage: kestrun-cli"), std::string::npos) << englishHelp.out;
    EXPECT_NE(englishHelp.out.find("Print this help message and exit"), std::string::npos);
    const RunResult russianHelp = RunCli({"--help", "--lang", "ru"}, english);
    EXPECT_NE(russianHelp.out.find("Использование: kestrun-cli"), std::string::npos);
    EXPECT_NE(russianHelp.out.find("показать эту справку и выйти"), std::string::npos);
    EXPECT_EQ(russianHelp.out.find("Usage"), std::string::npos) << russianHelp.out;

    EXPECT_EQ(RunCli({"--bogus"}, english).err, "The following argument was not expected: --bogus\n"
                                                "Run with --help for more information.\n");
    EXPECT_EQ(RunCli({"--bogus"}, russian).err, "kestrun-cli: лишние аргументы: --bogus\n"
                                                "Запустите с --help, чтобы узнать больше.\n");
    EXPECT_EQ(RunCli({"-d", "loud", "x.wav"}, russian).err,
              "kestrun-cli: --detector: недопустимое значение\n"
              "Запустите с --help, чтобы узнать больше.\n");
    EXPECT_EQ(RunCli({"--lang", "de", "x.wav"}, russian).status, 2);

    const std::string wav = Make("talk.wav", GoldenMono());
    const RunResult run = RunCli({wav}, russian);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, RunCli({wav}, english).out);
    EXPECT_NE(run.out.find(" cues\n"), std::string::npos) << run.out;
}
using cliBadFiles = CliTest;

TEST_F(cliBadFiles, EachRefusedFileIsReportedAndTheOthersStillRun) {
    const std::string good = GoldenMono();
    std::vector<std::pair<std::string, std::string>> bad; // name, bytes
    auto variant = [&](const std::string& name, auto patch) {
        std::string bytes = good;
        patch(bytes);
        bad.emplace_back(name, bytes);
    };
    bad.emplace_back("empty.wav", "");
    bad.emplace_back("text.wav", "these are not the bytes of a WAV file at all, not at all.\n");
    bad.emplace_back("short-header.wav", good.substr(0, 40));
    variant("rifx.wav", [](std::string& b) { b.replace(0, 4, "RIFX"); });
    variant("avi.wav", [](std::string& b) { b.replace(8, 4, "AVI "); });
    variant("float.wav", [](std::string& b) { Put16(b, 20, 3); });
    variant("three-channels.wav", [](std::string& b) { Put16(b, 22, 3); });
    variant("no-channels.wav", [](std::string& b) { Put16(b, 22, 0); });
    variant("zero-rate.wav", [](std::string& b) { Put32(b, 24, 0); });
    variant("riff-size.wav", [](std::string& b) { Put32(b, 4, Get32(b, 4) + 2); });
    variant("data-too-big.wav", [](std::string& b) { Put32(b, 40, Get32(b, 40) + 2); });
    variant("data-4gib.wav", [](std::string& b) { Put32(b, 40, 0xffffffff); });

    std::vector<std::string> args;
    std::string expectedOut;
    std::string expectedErr;
    std::set<std::string> expectedListing;
    auto addGood = [&](const std::string& name) {
        args.push_back(Make(name + ".wav", good));
        expectedOut += CueLine(dir_ / (name + ".srt"), 2);
        expectedListing.insert({name + ".wav", name + ".srt"});
    };
    addGood("first");
    for (const auto& [name, bytes] : bad) {
        args.push_back(Make(name, bytes));
        expectedErr += BadFileLine(args.back());
        expectedListing.insert(name);
    }
    addGood("middle");
    args.push_back(dir_ / "absent.wav");
    expectedErr += BadFileLine(args.back());
    // A folder is opened for its files, whatever its name; this one holds none.
    fs::create_directory(dir_ / "folder.wav");
    args.push_back(dir_ / "folder.wav");
    expectedListing.insert("folder.wav");
    addGood("last");
    // A longer format chunk is no reason to refuse a file: it gives the cues of the plain one.
    std::string longFmt = good;
    longFmt.insert(36, 2, '\0');
    Put32(longFmt, 16, 18);
    Put32(longFmt, 4, Get32(longFmt, 4) + 2);
    args.push_back(Make("long-fmt.wav", longFmt));
    expectedOut += CueLine(dir_ / "long-fmt.srt", 2);
    expectedListing.insert({"long-fmt.wav", "long-fmt.srt"});

    const RunResult r = RunCli(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, expectedOut);
    EXPECT_EQ(WithoutDetails(r.err), expectedErr);
    EXPECT_EQ(Listing(dir_.path()), expectedListing);
    EXPECT_EQ(ReadFile(dir_ / "last.srt"), GOLDEN_SRT);
}

TEST_F(cliBadFiles, InfoOfARefusedFileExitsOne) {
    const std::string file = Make("text.wav", "not a wav");
    const RunResult r = RunCli({"--info", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(WithoutDetails(r.err), BadFileLine(file));
}

using cliOutput = CliTest;

TEST_F(cliOutput, DefaultSrtGoesBesideTheSourceUnderItsName) {
    // Relative paths, so the printed paths are exactly as built from the arguments.
    Make("dir/talk.day1.wav", GoldenMono());
    Make("v1.2/take", GoldenMono());
    Make("talk.WAV", GoldenMono());
    RunOptions inDir;
    inDir.workDir = dir_.path().string();
    Make("v1.2/take.wav", GoldenMono());
    const RunResult r =
        RunCli({"dir/talk.day1.wav", "v1.2/take", "v1.2/take.wav", "talk.WAV"}, inDir);
    // A name without an extension is taken for what ffmpeg finds in it, and decoded: its
    // output base is the dot-less name, never cut at the folder's dot.
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, CueLine("dir/talk.day1.srt", 2) + CueLine("v1.2/take.srt", 2) +
                         CueLine("v1.2/take.srt", 2) + CueLine("talk.srt", 2));
    for (const char* srt : {"dir/talk.day1.srt", "v1.2/take.srt", "talk.srt"}) {
        EXPECT_EQ(ReadFile(dir_ / srt), GOLDEN_SRT) << srt;
    }
}

TEST_F(cliOutput, OutDirAndOutputChooseTheSrtPath) {
    Make("dir/talk.day1.wav", GoldenMono());
    Make("dir/notes.wav", GoldenMono());
    fs::create_directory(dir_ / "out");
    RunOptions inDir;
    inDir.workDir = dir_.path().string();

    RunResult r = RunCli({"--out-dir", "out", "dir/talk.day1.wav", "dir/notes.wav"}, inDir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, CueLine("out/talk.day1.srt", 2) + CueLine("out/notes.srt", 2));
    EXPECT_EQ(ReadFile(dir_ / "out/talk.day1.srt"), GOLDEN_SRT);

    r = RunCli({"--out-dir", "out/", "dir/talk.day1.wav"}, inDir);
    EXPECT_EQ(r.out, CueLine("out/talk.day1.srt", 2));

    r = RunCli({"-o", "out/renamed.txt", "dir/notes.wav"}, inDir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, CueLine("out/renamed.txt", 2));
    EXPECT_EQ(ReadFile(dir_ / "out/renamed.txt"), GOLDEN_SRT);

    EXPECT_EQ(Listing(dir_ / "dir"), (std::set<std::string>{"talk.day1.wav", "notes.wav"}));
}

TEST_F(cliOutput, PathsWithSpacesWork) {
    const std::string wav = Make("my talks/talk one.wav", GoldenMono());
    const RunResult r = RunCli({wav});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, CueLine(dir_ / "my talks/talk one.srt", 2));
    EXPECT_EQ(ReadFile(dir_ / "my talks/talk one.srt"), GOLDEN_SRT);
}

TEST_F(cliOutput, UnwritableSrtIsReported) {
    const std::string wav = Make("talk.wav", GoldenMono());
    const RunResult r = RunCli({"-o", dir_ / "missing/talk.srt", wav});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    const std::string prefix = "kestrun-cli: " + wav + ": не удалось записать SRT: ";
    EXPECT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
    EXPECT_GT(r.err.size(), prefix.size() + 1) << "no reason given";
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(cliOutput, FailedWriteLeavesTheOlderSrtIntact) {
    // Guards against a failed write truncating or replacing the SRT of an earlier run.
    // Tests run as root, so a file size limit, not permissions, makes the write fail;
    // the empty SRT of the silent file still fits, and is still written.
    const std::string wav = Make("talk.wav", GoldenMono());
    const std::string silent = Make("silent.wav", Wav(GOLDEN_RATE, 1, std::vector<int16_t>(900)));
    const std::string older = "1\r\n00:00:01,000 --> 00:00:02,000\r\n1\r\n\r\n";
    Make("talk.srt", older);
    RunOptions limited;
    limited.fileSizeLimit = 16;
    const RunResult r = RunCli({wav, silent}, limited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, CueLine(dir_ / "silent.srt", 0));
    EXPECT_EQ(r.err.rfind("kestrun-cli: " + wav + ": не удалось записать SRT: ", 0), 0u) << r.err;
    EXPECT_EQ(ReadFile(dir_ / "talk.srt"), older);
    EXPECT_EQ(Listing(dir_.path()),
              (std::set<std::string>{"talk.wav", "talk.srt", "silent.wav", "silent.srt"}))
        << "a temporary file was left behind";
}

// ---- Every format through the job queue, the worker and its tool runners ----

using kestrun::test::ReadLines;
using kestrun::test::WriteTool;

// The golden bursts at 44,100 Hz stereo, the one layout wmadec's raw output may have.
std::string Golden44kStereo() {
    std::vector<int16_t> samples;
    for (const int16_t s : Bursts({A, B, C, D})) {
        for (int repeat = 0; repeat < 6; ++repeat) { // 8,000 Hz stretched about 5.5 times
            samples.push_back(s);
            samples.push_back(s);
        }
    }
    return Wav(44100, 2, samples);
}

// Fake decoders that "decode" by handing over $FAKE_WAV where each tool must leave it.
const std::pair<const char*, const char*> FAKE_DECODERS[] = {
    {"lame.exe", "cp \"$FAKE_WAV\" \"$5\""},
    {"faad.exe", "cp \"$FAKE_WAV\" \"$4\""},
    {"oggdec.exe", "cp \"$FAKE_WAV\" \"${2%.tmp.ogg}.wav\""},
    {"mppdec.exe", "cp \"$FAKE_WAV\" \"$3\""},
    {"besweet.exe", "cp \"$FAKE_WAV\" \"$6\""},
    {"mac.exe", "cp \"$FAKE_WAV\" \"$2\""},
    {"wvunpack.exe", "cp \"$FAKE_WAV\" \"$3\""},
    {"flac.exe", "cp \"$FAKE_WAV\" \"$5\""},
    {"ofr.exe", "cp \"$FAKE_WAV\" \"$5\""},
    {"ttaenc.exe", "cp \"$FAKE_WAV\" \"$4\""},
    {"wmadec.exe", "tail -c +45 \"$FAKE_WAV\""},
    {"dtsdec.exe", "cat \"$FAKE_WAV\""},
};

class cliFormats : public CliTest {
protected:
    void SetUp() override {
        fs::create_directories(tools_);
        for (const auto& [name, body] : FAKE_DECODERS) {
            WriteTool(tools_, name, body);
        }
        setenv("FAKE_WAV", Make("fake.wav", Golden44kStereo()).c_str(), 1);
    }
    RunResult Run(std::vector<std::string> args, const RunOptions& options = {}) {
        args.insert(args.begin(), {"--tool-dir", tools_});
        return RunCli(args, options);
    }
    const std::string tools_ = dir_ / "tools";
};

TEST_F(cliFormats, EveryAcceptedExtensionGoesThroughItsTool) {
    const RunResult reference = RunCli({"-o", dir_ / "reference.srt", dir_ / "fake.wav"});
    ASSERT_EQ(reference.status, 0) << reference.err;
    const std::string expected = ReadFile(dir_ / "reference.srt");

    const char* extensions[] = {"mp3", "aif", "M4A",  "mp4", "aac", "ogg", "mpc",
                                "ac3", "avi", "vob",  "mpa", "mp2", "dts", "wma",
                                "ape", "wv",  "flac", "ofr", "tta"};
    std::vector<std::string> args;
    std::string out;
    for (const char* ext : extensions) {
        args.push_back(Make(std::string("in/talk ") + ext + "." + ext, "x"));
        out += CueLine(dir_ / (std::string("in/talk ") + ext + ".srt"), 2);
    }
    const RunResult r = Run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, out);
    for (const char* ext : extensions) {
        const std::string base = dir_ / (std::string("in/talk ") + ext);
        EXPECT_EQ(ReadFile(base + ".srt"), expected) << ext;
        EXPECT_TRUE(fs::exists(base + ".wav")) << ext << ": the decoded WAV stays";
    }
    EXPECT_FALSE(fs::exists(dir_ / "in/talk ogg.tmp.ogg"));
}

TEST_F(cliFormats, OptionsReachTheirSteps) {
    WriteTool(tools_, "wavegain.exe", "");
    const std::string stereo = Make("talk.wav", Golden44kStereo());
    const std::string ac3 = Make("film.ac3", "x");
    const RunResult r = Run({"--mono", "--norm", "3", "--gain", "-5", "--azid-gain", "-3", stereo});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(stereo).size(), 44 + (Golden44kStereo().size() - 44) / 2) << "not mono";
    EXPECT_EQ(ReadLines(tools_ + "/wavegain.exe.args"),
              (std::vector<std::string>{"-t", "-r", "-g", "-5", "-y", "-d", "2", stereo}));

    fs::create_directory(dir_ / "out");
    const RunResult withAzid = Run({"--azid-gain", "-3", "--out-dir", dir_ / "out", ac3});
    EXPECT_EQ(withAzid.status, 0) << withAzid.err;
    const std::vector<std::string> args = ReadLines(tools_ + "/besweet.exe.args");
    ASSERT_EQ(args.size(), 11u);
    // The decoder writes under a working name in the output folder; the WAV takes its own
    // name once the job is through.
    EXPECT_EQ(fs::path(args[5]).parent_path(), dir_ / "out");
    EXPECT_EQ(fs::path(args[5]).filename().string().rfind(".film.kestrun-", 0), 0u) << args[5];
    EXPECT_TRUE(fs::exists(dir_ / "out/film.wav"));
    EXPECT_FALSE(fs::exists(args[5]));
    EXPECT_EQ(std::vector<std::string>(args.begin() + 7, args.end()),
              (std::vector<std::string>{"-azid(", "-g", "-3", ")"}));

    // -o names the SRT; the decoded WAV goes beside it under the same name.
    const RunResult renamed = Run({"-o", dir_ / "out/renamed.srt", ac3});
    EXPECT_EQ(renamed.status, 0) << renamed.err;
    EXPECT_TRUE(fs::exists(dir_ / "out/renamed.wav"));
    EXPECT_TRUE(fs::exists(dir_ / "out/renamed.srt"));

    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--norm", "6", stereo},
                                                {"--gain", "13", stereo},
                                                {"--gain", "x", stereo},
                                                {"--azid-gain", "123456", stereo}}) {
        EXPECT_EQ(Run(bad).status, 2) << bad[0] << " " << bad[1];
    }
}

TEST_F(cliFormats, FailedJobsAreReportedWithTheirMessagesAndTheRestGoOn) {
    WriteTool(tools_, "lame.exe", "exit 3");
    WriteTool(tools_, "faad.exe", "echo short > \"$4\"");
    fs::remove(tools_ + "/flac.exe");
    const std::string good = Make("good.ogg", "x");
    const std::pair<std::string, std::string> failures[] = {
        {Make("a.mp3", "x"), "Ошибка: 3"},
        {Make("a.m4a", "a source larger than the WAV"), "Ошибка декодирования"},
        {Make("a.flac", "x"), "Ошибка: Не запустился flac"},
        {Make("a.mkv", "x"), "Ошибка: Не запустился ffmpeg"},
        {Make("a.xyz", "x"), "Данный тип файла не поддерживается."},
        {dir_ / "gone.wv", "Ошибка: Не удалось открыть файл: файл не найден"},
    };
    std::vector<std::string> args;
    std::string err;
    for (const auto& [file, message] : failures) {
        args.push_back(file);
        err += "kestrun-cli: " + file + ": " + message + "\n";
    }
    args.push_back(good);
    const RunResult r = Run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, CueLine(dir_ / "good.srt", 2));
    EXPECT_EQ(Listing(dir_.path()),
              (std::set<std::string>{"tools", "fake.wav", "good.ogg", "good.wav", "good.srt",
                                     "a.mp3", "a.m4a", "a.flac", "a.mkv", "a.xyz"}))
        << "a failed decoder's WAV was left behind";
}

TEST_F(cliFormats, InterruptStopsTheToolAndItsChildrenAndDeletesThePartialWav) {
    // The decoder starts a child of its own and never ends by itself.
    WriteTool(tools_, "flac.exe",
              "echo partial > \"$5\"\nsleep 60 & echo $! > \"$here/child.pid\"\nwait");
    const std::string first = Make("first.flac", "x");
    const std::string second = Make("second.mp3", "x");
    RunOptions options;
    const std::string pidFile = tools_ + "/child.pid";
    options.whileRunning = [&](int pid) {
        for (int i = 0; i < 2000 && (!fs::exists(pidFile) || fs::file_size(pidFile) == 0); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        kill(pid, SIGINT);
    };
    const RunResult r = Run({first, second}, options);
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(dir_ / "first.wav"));
    EXPECT_FALSE(fs::exists(dir_ / "first.srt"));
    EXPECT_FALSE(fs::exists(tools_ + "/lame.exe.args")) << "a queued job was started";
    const pid_t grandchild = std::stoi(ReadLines(pidFile).at(0));
    EXPECT_TRUE(kestrun::test::ProcessEnds(grandchild)) << "the decoder's own child still runs";
}

// ---- Batches: files at once, folders, shards, WAVs not kept, the progress line ----

// kestrun-cli on a pseudo-terminal 80 columns wide, as from a user's shell: standard input,
// output and error are the terminal, or standard error is a pipe with stderrToPipe.
struct TerminalRun {
    int status = -1;
    std::string screen; // all the terminal was sent; it turns each "\n" into "\r\n"
    std::string err;    // the pipe's text
};

TerminalRun RunOnTerminal(std::vector<std::string> args, bool stderrToPipe) {
    TerminalRun run;
    args.insert(args.begin(), KESTRUN_CLI);
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    int errPipe[2] = {-1, -1};
    winsize size{24, 80, 0, 0};
    int terminal = -1;
    if (stderrToPipe && pipe2(errPipe, O_CLOEXEC) != 0) {
        return run;
    }
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, &size);
    if (pid == 0) {
        if (stderrToPipe) {
            dup2(errPipe[1], STDERR_FILENO);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(errPipe[1]);
    // The pipe's few lines fit in its buffer, so it is read once the terminal is done: its
    // reads end with EIO when the last process holding it has gone.
    char buf[4096];
    for (ssize_t n; pid > 0 && ((n = read(terminal, buf, sizeof buf)) > 0 || errno == EINTR);) {
        run.screen.append(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    for (ssize_t n; errPipe[0] >= 0 && (n = read(errPipe[0], buf, sizeof buf)) > 0;) {
        run.err.append(buf, static_cast<std::size_t>(n));
    }
    close(terminal);
    close(errPipe[0]);
    int wstatus = 0;
    while (pid > 0 && waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return run;
}

class cliBatch : public cliFormats {
protected:
    std::vector<std::string> With(std::vector<std::string> options,
                                  const std::vector<std::string>& files) {
        options.insert(options.end(), files.begin(), files.end());
        return options;
    }
};

TEST_F(cliBatch, SeveralLanesWriteExactlyWhatOneLaneWrites) {
    // The first file is the slowest, so the files behind it end first and must wait.
    WriteTool(tools_, "lame.exe",
              "case \"$4\" in *slow*) sleep 0.5 ;; *fail*) exit 3 ;; esac\n"
              "cp \"$FAKE_WAV\" \"$5\"");
    const std::vector<std::string> files = {
        Make("slow.mp3", "x"),  Make("a.wav", GoldenMono()),  Make("fail.mp3", "x"),
        Make("notes.xyz", "x"), Make("bad.wav", "not a wav"), Make("b.mp3", "x"),
        dir_ / "absent.wav",    Make("c.wav", GoldenStereo())};
    const RunResult one = Run(files);
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(one.out, CueLine(dir_ / "slow.srt", 2) + CueLine(dir_ / "a.srt", 2) +
                           CueLine(dir_ / "b.srt", 2) + CueLine(dir_ / "c.srt", 2));
    EXPECT_EQ(WithoutDetails(one.err), "kestrun-cli: " + files[2] + ": Ошибка: 3\n" +
                                           "kestrun-cli: " + files[3] +
                                           ": Данный тип файла не поддерживается.\n" +
                                           BadFileLine(files[4]) + BadFileLine(files[6]));
    for (const std::string jobs : {"2", "3", "8"}) {
        SCOPED_TRACE("-j " + jobs);
        const RunResult r = Run(With({"-j", jobs}, files));
        EXPECT_EQ(r.status, one.status);
        EXPECT_EQ(r.out, one.out);
        EXPECT_EQ(r.err, one.err);
    }
}

TEST_F(cliBatch, LanesRunTheirDecodersAtOnce) {
    // Each decoder waits for the other to start: run one after the other, the first gives up.
    WriteTool(tools_, "lame.exe",
              "touch \"$here/started.$(basename \"$4\")\"\n"
              "n=0\n"
              "while [ \"$(ls \"$here\" | grep -c '^started\\.')\" -lt 2 ]; do\n"
              "  n=$((n + 1)); [ $n -gt 500 ] && exit 9\n"
              "  sleep 0.02\n"
              "done\n"
              "cp \"$FAKE_WAV\" \"$5\"");
    const RunResult r = Run({"-j", "2", Make("a.mp3", "x"), Make("b.mp3", "x")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, CueLine(dir_ / "a.srt", 2) + CueLine(dir_ / "b.srt", 2));
}

TEST_F(cliBatch, InterruptStopsTheToolOfEveryLane) {
    WriteTool(tools_, "flac.exe",
              "echo partial > \"$5\"\n"
              "sleep 60 & echo $! > \"$here/$(basename \"$3\").pid\"\nwait");
    const std::vector<std::string> files = {Make("one.flac", "x"), Make("two.flac", "x"),
                                            Make("three.flac", "x")};
    RunOptions options;
    options.whileRunning = [&](int pid) {
        for (int i = 0; i < 2000 && !(fs::exists(tools_ + "/one.flac.pid") &&
                                      fs::exists(tools_ + "/two.flac.pid"));
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the pids written
        kill(pid, SIGINT);
    };
    const RunResult r = Run(With({"-j", "2"}, files), options);
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kestrun-cli: прервано\n");
    EXPECT_FALSE(fs::exists(tools_ + "/three.flac.pid")) << "a queued file was started";
    for (const char* name : {"one", "two"}) {
        const std::vector<std::string> pid = ReadLines(tools_ + "/" + name + ".flac.pid");
        ASSERT_FALSE(pid.empty()) << name << "'s decoder never started";
        EXPECT_TRUE(kestrun::test::ProcessEnds(std::stoi(pid[0]))) << name << "'s decoder runs on";
    }
    EXPECT_EQ(Listing(dir_.path()),
              (std::set<std::string>{"tools", "fake.wav", "one.flac", "two.flac", "three.flac"}))
        << "a partial WAV was left behind";
}

TEST_F(cliBatch, NoWavDeletesOnlyTheWavsTheRunDecoded) {
    const std::string older = "the bytes of a WAV that was here before";
    const std::vector<std::string> files = {Make("talk.mp3", "x"), Make("kept.mp3", "x"),
                                            Make("input.wav", GoldenMono()),
                                            Make("unwritable.mp3", "x")};
    fs::create_directory(dir_ / "unwritable.srt"); // its detection cannot write its SRT
    for (const std::string jobs : {"1", "2"}) {
        SCOPED_TRACE("-j " + jobs);
        Make("kept.wav", older);
        const RunResult r = Run(With({"--no-wav", "-j", jobs}, files));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, CueLine(dir_ / "talk.srt", 2) + CueLine(dir_ / "kept.srt", 2) +
                             CueLine(dir_ / "input.srt", 2));
        EXPECT_EQ(r.err.rfind("kestrun-cli: " + files[3] + ": не удалось записать SRT: ", 0), 0u)
            << r.err;
        EXPECT_EQ(ReadFile(dir_ / "kept.wav"), older);
        EXPECT_EQ(ReadFile(dir_ / "input.wav"), GoldenMono());
        EXPECT_EQ(Listing(dir_.path()),
                  (std::set<std::string>{"tools", "fake.wav", "talk.mp3", "talk.srt", "kept.mp3",
                                         "kept.wav", "kept.srt", "input.wav", "input.srt",
                                         "unwritable.mp3", "unwritable.srt"}))
            << "a decoded WAV was left behind";
    }
}

TEST_F(cliBatch, NoWavKeepsTheDecodedWavUntilTheSpeechModelHasReadIt) {
    const fs::path model = fs::path(KESTRUN_CLI).parent_path() / "silero_vad_16k_op15.onnx";
    if (!fs::exists(model)) {
        GTEST_SKIP() << "no speech model beside kestrun-cli: run scripts/fetch-model.sh";
    }
    fs::create_symlink(model, tools_ + "/silero_vad_16k_op15.onnx"); // --tool-dir holds it too
    const RunResult r = Run({"-d", "speech", "--threads", "1", "--no-wav", Make("talk.mp3", "x")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind(dir_ / "talk.srt: ", 0), 0u) << r.out;
    EXPECT_EQ(Listing(dir_.path()),
              (std::set<std::string>{"tools", "fake.wav", "talk.mp3", "talk.srt"}));
}

TEST_F(cliBatch, ARefusedWavsDetailFollowsItsMessage) {
    WriteTool(tools_, "flac.exe", "head -c 5000 /dev/urandom > \"$5\"");
    const std::string file = Make("noise.flac", "x");
    const RunResult r = Run({file});
    EXPECT_EQ(r.status, 1);
    const std::string prefix = "kestrun-cli: " + file + ": " + BAD_FILE + ": ";
    ASSERT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
    EXPECT_GT(r.err.size(), prefix.size() + 1) << "the detail is empty";
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST_F(cliBatch, FoldersGiveTheirAcceptedFilesSortedByPath) {
    // ffdecode finds sound only in a file that says so.
    WriteTool(tools_, "ffdecode.exe",
              "case $1 in\n"
              "--probe) grep -q sound \"$2\" ;;\n"
              "--stream) cp \"$FAKE_WAV\" \"$4\" ;;\n"
              "esac");
    for (const char* wav : {"lib/b.wav", "lib/A.wav", "lib/sub.wav", "lib/sub-x.wav",
                            "lib/sub/c.wav", "lib/.hidden.wav", "lib/.git/e.wav"}) {
        Make(wav, GoldenMono());
    }
    Make("lib/a.mp3", "x");
    Make("lib/sub/deep/d.flac", "x");
    Make("lib/clip", "sound");
    Make("lib/notes.txt", "no audio here");
    fs::create_directory_symlink("sub", dir_ / "lib/link");
    fs::create_directory(dir_ / "out");
    RunOptions inDir;
    inDir.workDir = dir_.path().string();
    std::string out;
    for (const char* name : {"A", "a", "b", "clip", "sub-x", "sub"}) {
        out += CueLine(std::string("out/") + name + ".srt", 2);
    }
    // A file named on the command line is still refused aloud.
    const std::string refused = "kestrun-cli: lib/notes.txt: Данный тип файла не поддерживается.\n";

    RunResult r = Run({"--stream", "1", "--out-dir", "out", "lib/notes.txt", "lib"}, inDir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, refused);
    EXPECT_EQ(ReadLines(tools_ + "/ffdecode.exe.args").at(1), "1") << "--stream not passed on";

    // Full paths sort byte by byte: "sub-x.wav" < "sub.wav" < "sub/c.wav".
    r = Run({"-r", "-j", "2", "--out-dir", "out", "lib/notes.txt", "lib"}, inDir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, out + CueLine("out/c.srt", 2) + CueLine("out/d.srt", 2));
    EXPECT_EQ(r.err, refused);
}

TEST_F(cliBatch, ShardsTakeEveryNthFileOfTheWholeList) {
    for (const char* wav :
         {"first.wav", "lib/a.wav", "lib/b.wav", "lib/c.wav", "lib/sub/d.wav", "last.wav"}) {
        Make(wav, GoldenMono());
    }
    Make("lib/notes.txt", "x");
    RunOptions inDir;
    inDir.workDir = dir_.path().string();
    const std::vector<std::string> files = {"first.wav", "lib", "last.wav"};
    const RunResult whole = Run(With({"-r"}, files), inDir);
    ASSERT_EQ(whole.status, 0) << whole.err;
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = whole.out.find('\n', at)) != std::string::npos;
         at = end + 1) {
        lines.push_back(whole.out.substr(at, end + 1 - at));
    }
    ASSERT_EQ(lines.size(), 6u) << whole.out;

    // Exactly every n-th file: together the shards of n hold each file once.
    for (const unsigned n : {1u, 2u, 4u, 8u}) {
        for (unsigned i = 0; i < n; ++i) {
            const std::string shard = std::to_string(i) + "/" + std::to_string(n);
            SCOPED_TRACE(shard);
            const RunResult r = Run(With({"-r", "--shard", shard}, files), inDir);
            std::string expected;
            for (std::size_t k = i; k < lines.size(); k += n) {
                expected += lines[k];
            }
            EXPECT_EQ(r.status, 0) << r.err; // an empty shard too
            EXPECT_EQ(r.out, expected);
            EXPECT_EQ(r.err, "");
        }
    }

    std::vector<std::vector<std::string>> usage = {
        {"-j", "0"}, {"-j", "x"}, {"--stream", "-1"}, {"--stream", "1.5"}};
    for (const char* shard : {"2/2", "0/0", "1", "/2", "1/", "a/b", "-1/2", "1/2/3", " 1/2", "+1/2",
                              "1/2x", "1/99999999999"}) {
        usage.push_back({"--shard", shard});
    }
    for (const std::vector<std::string>& bad : usage) {
        SCOPED_TRACE(bad[0] + " " + bad[1]);
        const RunResult r = Run(With(bad, files), inDir);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
}

TEST_F(cliBatch, TenThousandFilesAllRightInFlatMemory) {
    // Three kinds of file under 10,000 names (hard links, so the copies cost no disk), each
    // SRT checked against its kind's own run, and the peak memory against a tenth of that.
    const std::string kinds[] = {GoldenMono(), GoldenStereo(), Wav(GOLDEN_RATE, 1, Bursts({C}))};
    std::vector<std::string> expected;
    for (std::size_t k = 0; k < std::size(kinds); ++k) {
        const std::string src = Make("kind" + std::to_string(k) + ".wav", kinds[k]);
        const RunResult r = RunCli({src});
        ASSERT_EQ(r.status, 0) << r.err;
        expected.push_back(ReadFile(dir_ / ("kind" + std::to_string(k) + ".srt")));
    }
    auto name = [](int i) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "f%05d", i);
        return std::string(buf);
    };
    auto fill = [&](const std::string& folder, int count) {
        fs::create_directories(folder);
        for (int i = 0; i < count; ++i) {
            fs::create_hard_link(dir_ / ("kind" + std::to_string(i % 3) + ".wav"),
                                 folder + "/" + name(i) + ".wav");
        }
    };
    fill(dir_ / "tenth", 1000);
    fill(dir_ / "all", 10000);
    const RunResult tenth = RunCli({dir_ / "tenth"});
    ASSERT_EQ(tenth.status, 0) << tenth.err;
    const RunResult all = RunCli({dir_ / "all"});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.err, "");
    EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 10000);
    int wrong = 0;
    for (int i = 0; i < 10000; ++i) {
        if (ReadFile(dir_ / ("all/" + name(i) + ".srt")) != expected[std::size_t(i % 3)] &&
            wrong++ == 0) {
            ADD_FAILURE() << name(i) << ".srt is not its kind's SRT";
        }
    }
    EXPECT_EQ(wrong, 0);
#if !defined(__SANITIZE_ADDRESS__) &&                                                              \
    !defined(__SANITIZE_THREAD__) // sanitizers keep memory of their own
    // What grows with the batch is its list of names, well under a megabyte here.
    EXPECT_LT(all.peakMemoryKb, tenth.peakMemoryKb + 4096)
        << "1,000 files: " << tenth.peakMemoryKb << " KB, 10,000: " << all.peakMemoryKb << " KB";
#endif
    std::printf("peak memory: %ld KB for 1,000 files, %ld KB for 10,000\n", tenth.peakMemoryKb,
                all.peakMemoryKb);
}

// A terminal's screen taken apart: each drawing of the progress line (what follows a
// "\r\x1b[K" that starts with '[', up to the next control character) with where it ends,
// and the rest, with the drawings and every clearing taken out.
struct Screen {
    std::vector<std::pair<std::size_t, std::string>> drawings;
    std::string rest;
};

Screen SplitScreen(const std::string& screen) {
    const std::string clear = "\r\x1b[K";
    Screen parts;
    for (std::size_t at = 0; at < screen.size();) {
        if (screen.compare(at, clear.size(), clear) != 0) {
            parts.rest += screen[at++];
            continue;
        }
        at += clear.size();
        if (at < screen.size() && screen[at] == '[') {
            const std::size_t end = std::min(screen.find_first_of("\r\n\x1b", at), screen.size());
            parts.drawings.emplace_back(end, screen.substr(at, end - at));
            at = end;
        }
    }
    return parts;
}

// "[2/3] 00:00:01 name": done of total, the time taken, a name.
bool IsProgressLine(const std::string& line, int total) {
    std::string count = "/"; // appended, not added: GCC 12 warns wrongly of the sum
    count += std::to_string(total);
    count += "] ";
    const std::size_t slash = line.find(count);
    if (line.empty() || line[0] != '[' || slash == std::string::npos || slash < 2 ||
        line.find_first_not_of("0123456789", 1) != slash) {
        return false;
    }
    const std::string time = line.substr(slash + count.size(), 9);
    return time.size() == 9 && time[8] == ' ' &&
           time.substr(0, 8).find_first_not_of("0123456789:") == std::string::npos;
}

TEST_F(cliBatch, ProgressLineOnlyOnATerminalAndNeverInsideALine) {
    const std::vector<std::string> files = {Make("first.wav", GoldenMono()), Make("notes.xyz", "x"),
                                            Make(std::string(120, 'n') + ".wav", GoldenMono())};
    const std::string refused =
        "kestrun-cli: " + files[1] + ": Данный тип файла не поддерживается.\n";
    const std::string first = CueLine(dir_ / "first.srt", 2);
    const std::string last = CueLine(dir_ / (std::string(120, 'n') + ".srt"), 2);
    auto onScreen = [](const std::string& text) {
        std::string screen;
        for (const char c : text) {
            if (c == '\n') {
                screen += '\r'; // the terminal's output processing
            }
            screen += c;
        }
        return screen;
    };
    const std::vector<std::string> args = With({"--tool-dir", tools_}, files);

    const TerminalRun shown = RunOnTerminal(args, false);
    EXPECT_EQ(shown.status, 1);
    EXPECT_NE(shown.screen.find("[0/3] 00:00:00 first.wav"), std::string::npos) << shown.screen;
    EXPECT_NE(shown.screen.find("[2/3] 00:00:00 nnnnnnnnnn"), std::string::npos) << shown.screen;
    // Every drawing of the line is cleared (or redrawn) before anything else is written, and
    // fits in the 80 columns, so "\r" always returns to its start.
    const Screen screen = SplitScreen(shown.screen);
    EXPECT_FALSE(screen.drawings.empty());
    for (const auto& [after, drawing] : screen.drawings) {
        EXPECT_TRUE(IsProgressLine(drawing, 3)) << drawing;
        EXPECT_EQ(shown.screen.compare(after, 4, "\r\x1b[K"), 0) << drawing;
        EXPECT_LE(drawing.size(), 79u) << drawing;
    }
    const std::string& lines = screen.rest;
    EXPECT_EQ(lines, onScreen(first + refused + last));

    const TerminalRun piped = RunOnTerminal(args, true);
    EXPECT_EQ(piped.status, 1);
    EXPECT_EQ(piped.screen, onScreen(first + last));
    EXPECT_EQ(piped.err, refused);
}

// ---- Stopping: stop signals, a sudden death, what the tools inherit ----

// The processes the program has started, theirs, and so on, as /proc shows them now.
std::vector<int> Descendants(int pid) {
    std::vector<int> found;
    std::vector<int> open = {pid};
    while (!open.empty()) {
        const int parent = open.back();
        open.pop_back();
        std::error_code ec;
        for (const fs::directory_entry& task :
             fs::directory_iterator("/proc/" + std::to_string(parent) + "/task", ec)) {
            std::ifstream children(task.path() / "children");
            for (int child = 0; children >> child;) {
                found.push_back(child);
                open.push_back(child);
            }
        }
    }
    return found;
}

// Polls until done() or about seconds have passed; done()'s last answer.
bool Within(double seconds, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    // Asked once a round and never again after: a predicate that records what it saw
    // keeps the sample it answered on.
    for (;;) {
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// A /proc file's text, empty once its process or thread is gone (a stream would throw).
std::string ProcText(const std::string& path) {
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buf[256];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
            text.append(buf, static_cast<std::size_t>(n));
        }
        close(fd);
    }
    return text;
}

bool NonEmptyFile(const std::string& path) {
    std::error_code ec;
    return fs::file_size(path, ec) > 0 && !ec;
}

// Sends the signal and waits for the program to end, at most 10 s; the seconds it took.
// A program still running then is killed, so that a hang fails the test instead of
// stopping it.
double SignalAndTime(int pid, int signal) {
    const auto sent = std::chrono::steady_clock::now();
    kill(pid, signal);
    const bool ended = Within(10, [pid] { return kestrun::test::ProcessHasEnded(pid); });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    if (!ended) {
        kill(pid, SIGKILL);
    }
    return seconds;
}

using cliStop = cliBatch;

TEST_F(cliStop, SigkillOfTheProgramLeavesNoToolAndNoWorkingFile) {
    // The adapters and their children went on as orphans and their working WAVs stayed.
    WriteTool(tools_, "flac.exe",
              "echo partial > \"$5\"\n"
              "sleep 60 & echo $! > \"$here/$(basename \"$3\").pid\"\nwait");
    const std::vector<std::string> files = {Make("one.flac", "x"), Make("two.flac", "x")};
    std::vector<int> family;
    RunOptions options;
    options.whileRunning = [&](int pid) {
        Within(10, [&] {
            return NonEmptyFile(tools_ + "/one.flac.pid") && NonEmptyFile(tools_ + "/two.flac.pid");
        });
        family = Descendants(pid);
        kill(pid, SIGKILL);
    };
    const RunResult r = Run(With({"-j", "2"}, files), options);
    EXPECT_EQ(r.status, 128 + SIGKILL);
    for (const char* name : {"one", "two"}) {
        const std::vector<std::string> pid = ReadLines(tools_ + "/" + name + ".flac.pid");
        ASSERT_FALSE(pid.empty()) << name << "'s decoder never started";
        EXPECT_NE(std::find(family.begin(), family.end(), std::stoi(pid[0])), family.end());
    }
    for (const int pid : family) {
        EXPECT_TRUE(Within(3, [pid] { return kestrun::test::ProcessHasEnded(pid); }))
            << pid << " outlived the program";
        if (!kestrun::test::ProcessHasEnded(pid)) {
            kill(pid, SIGKILL);
        }
    }
    EXPECT_EQ(Listing(dir_.path()),
              (std::set<std::string>{"tools", "fake.wav", "one.flac", "two.flac"}))
        << "a working WAV outlived the program";
}

TEST_F(cliStop, StopSignalsEndTheProgramWhenTheDecoderIgnoresThem) {
    // The decoder had three seconds of grace before SIGKILL, so the program ended late.
    WriteTool(tools_, "flac.exe",
              "trap '' TERM INT\necho partial > \"$5\"\necho $$ > \"$here/tool.pid\"\n"
              "while :; do sleep 0.05; done");
    const std::string flac = Make("talk.flac", "x");
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        fs::remove(tools_ + "/tool.pid");
        double seconds = -1;
        RunOptions options;
        options.whileRunning = [&](int pid) {
            Within(10, [&] { return NonEmptyFile(tools_ + "/tool.pid"); });
            seconds = SignalAndTime(pid, signal);
        };
        const RunResult r = Run({flac}, options);
        EXPECT_EQ(r.status, 128 + signal) << r.err;
        EXPECT_LT(seconds, 3.0);
        const std::vector<std::string> tool = ReadLines(tools_ + "/tool.pid");
        ASSERT_FALSE(tool.empty());
        if (!kestrun::test::ProcessEnds(std::stoi(tool[0]))) {
            ADD_FAILURE() << "the decoder outlived the program";
            kill(-std::stoi(tool[0]), SIGKILL);
        }
        EXPECT_EQ(Listing(dir_.path()), (std::set<std::string>{"tools", "fake.wav", "talk.flac"}))
            << "the partial WAV was left behind";
    }
}

TEST_F(cliStop, StopSignalsEndTheProgramWhileAThreadIsStuckOpeningAFifo) {
    // The exit path waited for a worker that an open of the FIFO held for ever; a main
    // thread held so never even took the stop request.
    const std::string fifo = dir_ / "x.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    fs::create_directory(dir_ / "model");
    const std::string model = dir_ / "model/silero_vad_16k_op15.onnx";
    ASSERT_EQ(mkfifo(model.c_str(), 0644), 0);
    const std::vector<std::pair<const char*, std::vector<std::string>>> runs = {
        {"the worker, loading the FIFO", {fifo}},
        {"the main thread, reading the speech model",
         {"-d", "speech", "--tool-dir", dir_ / "model", Make("talk.wav", GoldenMono())}},
    };
    for (const auto& [stuck, args] : runs) {
        for (const int signal : {SIGINT, SIGTERM}) {
            SCOPED_TRACE(std::string(stuck) + ", signal " + std::to_string(signal));
            double seconds = -1;
            RunOptions options;
            options.whileRunning = [&](int pid) {
                // Signalled once a thread is seen waiting for the FIFO's other end, or after
                // a while in any case; a program that refused the FIFO at once has nothing
                // to stop.
                const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
                Within(2, [&] {
                    std::error_code ec;
                    if (kestrun::test::ProcessHasEnded(pid)) {
                        return true;
                    }
                    for (const fs::directory_entry& task : fs::directory_iterator(tasks, ec)) {
                        const std::string wchan = ProcText(task.path() / "wchan");
                        if (wchan.find("partner") != std::string::npos ||
                            wchan.find("fifo") != std::string::npos) {
                            return true;
                        }
                    }
                    return false;
                });
                if (!kestrun::test::ProcessHasEnded(pid)) {
                    seconds = SignalAndTime(pid, signal);
                }
            };
            const RunResult r = RunCli(args, options);
            if (seconds < 0) {
                EXPECT_EQ(r.status, 1) << "ended by itself, so with the FIFO refused: " << r.err;
                continue;
            }
            EXPECT_EQ(r.status, 128 + signal) << r.err;
            EXPECT_LT(seconds, 3.0);
            EXPECT_EQ(r.err, "kestrun-cli: прервано\n");
        }
    }
}

TEST_F(cliStop, StopSignalsEndTheProgramWhileItsOutputIsBlocked) {
    // A reader that stopped reading held the main thread in a write, so the stop request
    // was never taken.
    const std::string wav = Make("talk.wav", GoldenMono());
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        // Standard output is a pipe filled to the brim that nobody reads.
        int out[2];
        int err[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
        ASSERT_EQ(fcntl(out[1], F_SETFL, O_NONBLOCK), 0);
        const std::string block(4096, 'x');
        while (write(out[1], block.data(), block.size()) > 0) {
        }
        ASSERT_EQ(fcntl(out[1], F_SETFL, 0), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            execl(KESTRUN_CLI, KESTRUN_CLI, wav.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        ASSERT_GT(pid, 0);
        const std::string mainTask = "/proc/" + std::to_string(pid) + "/wchan";
        Within(5, [&] { return ProcText(mainTask).find("pipe") != std::string::npos; });
        const double seconds = SignalAndTime(pid, signal);
        std::string text;
        char buf[4096];
        for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;) {
            text.append(buf, static_cast<std::size_t>(n));
        }
        close(err[0]);
        close(out[0]);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal) << status;
        EXPECT_LT(seconds, 3.0);
        EXPECT_EQ(text, "kestrun-cli: прервано\n");
    }
}

TEST_F(cliStop, ToolsInheritOnlyTheStandardStreams) {
    // Two lanes: each tool starts while the other lane's worker and engine have files open.
    WriteTool(tools_, "flac.exe",
              "echo partial > \"$5\"\necho $$ > \"$here/$(basename \"$3\").pid\"\nexec sleep 30");
    const std::vector<std::string> files = {Make("one.flac", "x"), Make("two.flac", "x")};
    std::vector<std::set<std::string>> listings;
    std::vector<std::string> descriptors;
    RunOptions options;
    options.whileRunning = [&](int pid) {
        for (const char* name : {"one", "two"}) {
            const std::string pidFile = tools_ + "/" + name + ".flac.pid";
            Within(10, [&] { return NonEmptyFile(pidFile); });
            const std::vector<std::string> tool = ReadLines(pidFile);
            if (tool.empty()) {
                continue;
            }
            const std::string proc = "/proc/" + tool[0];
            // Listed once the shell has become sleep (the shell keeps its script open), until
            // sleep's own start has closed what it reads: an inherited descriptor stays.
            Within(10, [&] {
                std::error_code ec;
                return fs::read_symlink(proc + "/exe", ec).filename() == "sleep";
            });
            std::set<std::string> listing;
            Within(2, [&] {
                listing = Listing(proc + "/fd");
                return listing.size() <= 3;
            });
            listings.push_back(listing);
            std::string opened; // what any descriptor beyond the standard ones names
            for (const std::string& fd : listing) {
                std::error_code ec;
                if (fd != "0" && fd != "1" && fd != "2") {
                    opened +=
                        fd + " -> " + fs::read_symlink(proc + "/fd/" + fd, ec).string() + "\n";
                }
            }
            descriptors.push_back(opened);
        }
        kill(pid, SIGTERM);
    };
    const RunResult r = Run(With({"-j", "2"}, files), options);
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    ASSERT_EQ(listings.size(), 2u);
    for (std::size_t i = 0; i < listings.size(); ++i) {
        EXPECT_EQ(listings[i], (std::set<std::string>{"0", "1", "2"})) << descriptors[i];
    }
}

} // namespace
