// The worker side: the dispatch table, every tool runner against fake tools (command
// line, output check, deletions), the worker thread's job sequence and titles, the job
// queue's rules, and the engine lock.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "FakeTool.h"
#include "JobQueue.h"
#include "ResultCodes.h"
#include "Runners.h"
#include "TestWav.h"
#include "WrkThread.h"

namespace {

using namespace kestrun;
using kestrun::test::ReadLines;
using kestrun::test::WriteTool;
namespace fs = std::filesystem;

// Sets WAVOUT to the WAV the tool was asked for: the argument naming a WAV, or for oggdec
// the WAV beside its copy.
constexpr const char* FIND_WAVOUT = "for a; do case \"$a\" in\n"
                                    "*.wav) WAVOUT=$a ;;\n"
                                    "*.tmp.ogg) WAVOUT=${a%.tmp.ogg}.wav ;;\n"
                                    "esac; done\n";

// Writes FAKE_BYTES bytes to the WAV asked for and exits with FAKE_EXIT.
const std::string WRITE_WAVOUT = std::string(FIND_WAVOUT) +
                                 "head -c \"$FAKE_BYTES\" /dev/zero > \"$WAVOUT\"\n"
                                 "exit \"$FAKE_EXIT\"";

std::vector<int16_t> Tone(std::size_t samples) {
    std::vector<int16_t> s(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        s[i] = int16_t((i % 100 < 50 ? 1 : -1) * int((i * 37) % 9000));
    }
    return s;
}

class RunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(tools);
        Fake("0", 0);
    }
    // Sets what the WRITE_WAVOUT tools do.
    static void Fake(const std::string& exitCode, uint32_t bytes) {
        setenv("FAKE_EXIT", exitCode.c_str(), 1);
        setenv("FAKE_BYTES", std::to_string(bytes).c_str(), 1);
    }
    // A source of `size` bytes and a job for it.
    JobInfo Job(const std::string& name, uint32_t size = 10) {
        const std::string path = dir / name;
        fs::create_directories(fs::path(path).parent_path());
        testwav::WriteFile(path, std::vector<uint8_t>(size, 7));
        return *MakeJobInfo(path, {});
    }
    // A decoder's WAV goes under a hidden working name beside the outputs, never straight
    // to outputBase + ".wav".
    static void ExpectWorkingName(const JobInfo& job) {
        const fs::path wav = job.sourcePath;
        const fs::path base = job.outputBase;
        EXPECT_EQ(wav.parent_path(), base.parent_path());
        EXPECT_EQ(wav.filename().string().rfind("." + base.filename().string() + ".kestrun-", 0),
                  0u)
            << wav;
        EXPECT_EQ(wav.extension(), ".wav");
    }
    int32_t Run(JobInfo& job) {
        RunnerContext context{child, settings};
        return RunDecoder(*DecoderFor(job.extension), job, context);
    }
    std::vector<std::string> Args(const std::string& tool) {
        return ReadLines(tools + "/" + tool + ".args");
    }

    testwav::TempDir dir;
    std::string tools = dir / "tools";
    ChildProcess child;
    // The fake tools' folder alone, so nothing installed can stand in for them.
    ToolSettings settings{false, "", {tools}};
};

TEST(Dispatch, ExtensionsMatchWholeAndWithoutAsciiCase) {
    const std::pair<const char*, Decoder> table[] = {
        {"mp3", Decoder::Lame},    {"MP3", Decoder::Lame},    {"Mp3", Decoder::Lame},
        {"aif", Decoder::Lame},    {"wav", Decoder::None},    {"WAV", Decoder::None},
        {"m4a", Decoder::Faad},    {"mp4", Decoder::Faad},    {"aac", Decoder::Faad},
        {"ogg", Decoder::OggDec},  {"mpc", Decoder::MppDec},  {"ac3", Decoder::BeSweet},
        {"avi", Decoder::BeSweet}, {"vob", Decoder::BeSweet}, {"mpa", Decoder::BeSweet},
        {"mp2", Decoder::BeSweet}, {"dts", Decoder::DtsDec},  {"wma", Decoder::WmaDec},
        {"ape", Decoder::Mac},     {"wv", Decoder::WvUnpack}, {"FLAC", Decoder::Flac},
        {"ofr", Decoder::Ofr},     {"tta", Decoder::TtaEnc},
    };
    for (const auto& [ext, decoder] : table) {
        EXPECT_EQ(DecoderFor(ext), decoder) << ext;
    }
    // Today's containers all go to ffmpeg.
    for (const char* ext :
         {"mkv", "MKV", "mka", "webm", "mov", "m4v", "m4b", "3gp", "ts",   "mts", "m2ts",
          "flv", "wmv", "asf", "opus", "oga", "ogv", "caf", "amr", "aiff", "au",  "w64"}) {
        EXPECT_EQ(DecoderFor(ext), Decoder::FFdecode) << ext;
    }
    for (const char* ext : {"mp3x", "", "mp", "wav ", "aifff", "flac\xff", "\xc3\xa9"}) {
        EXPECT_FALSE(DecoderFor(ext)) << ext;
    }
}

TEST(ResultMessages, KnownCodesHaveTheirTextOthersTheirNumber) {
    const std::pair<int32_t, const char*> table[] = {
        {0, "Загрузка завершена."},
        {-1, "Ошибка. (нет памяти или плохой файл)"},
        {10000, "Данный тип файла не поддерживается."},
        {-1073741510, "Процесс прерван"},
        {1001001, "Ошибка: Не запустился ReplayGain"},
        {1001006, "Ошибка: Не запустился mac"},
        {1001022, "Ошибка: Не запустился mac"},
        {1001012, "Ошибка декодирования"},
        {1001033, "Запустите iTunes для создания конфигурационного файла"},
        {1001035, "Ошибка: Не удалось преобразовать в моно или недопустимый формат"},
        {3, "Ошибка: 3"},
        {1001, "Ошибка: 1001"},
        {1001036, "Ошибка: Не запустился ffmpeg"},
        {1001037, "Ошибка: 1001037"},
        {-1009, "Ошибка: -1009"},
        {INT32_MIN, "Ошибка: -2147483648"},
    };
    for (const auto& [code, text] : table) {
        EXPECT_EQ(ResultMessage(code), text) << code;
    }
}

TEST_F(RunnerTest, EveryToolGetsItsCommandLineWithEachPathAsOneArgument) {
    // Quotes, spaces, a leading dash, $ and bytes that are not UTF-8 must reach the tool
    // intact and in one piece.
    const std::string odd = "-a \"q\" $HOME `x` \xff\xfe";
    fs::create_directories(dir / odd);
    struct Row {
        const char* ext;
        const char* tool;
        std::vector<std::string> args; // SRC, WAV and OGG stand for the paths
    };
    const Row rows[] = {
        {"mp3", "lame.exe", {"--decode", "-q", "0", "SRC", "WAV"}},
        {"aif", "lame.exe", {"--decode", "-q", "0", "SRC", "WAV"}},
        {"m4a", "faad.exe", {"-d", "SRC", "-o", "WAV"}},
        {"ogg", "oggdec.exe", {"-m", "OGG"}},
        {"mpc", "mppdec.exe", {"--wav", "SRC", "WAV"}},
        {"vob", "besweet.exe", {"-core(", "-2ch", "-input", "SRC", "-output", "WAV", ")"}},
        {"ape", "mac.exe", {"SRC", "WAV", "-d"}},
        {"wv", "wvunpack.exe", {"-y", "SRC", "WAV"}},
        {"flac", "flac.exe", {"-d", "-f", "SRC", "-o", "WAV"}},
        {"ofr", "ofr.exe", {"--overwrite", "--decode", "SRC", "--output", "WAV"}},
        {"tta", "ttaenc.exe", {"-d", "SRC", "-o", "WAV"}},
    };
    Fake("0", 100);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ext);
        WriteTool(tools, row.tool, WRITE_WAVOUT);
        JobInfo job = Job(odd + "/talk.day1." + row.ext);
        const std::string src = job.sourcePath;
        ASSERT_EQ(Run(job), RESULT_OK);
        ExpectWorkingName(job);
        const std::string wav = job.sourcePath;
        const std::string ogg = wav.substr(0, wav.size() - 4) + ".tmp.ogg";
        std::vector<std::string> expected;
        for (const std::string& a : row.args) {
            expected.push_back(a == "SRC" ? src : a == "WAV" ? wav : a == "OGG" ? ogg : a);
        }
        EXPECT_EQ(Args(row.tool), expected);
        EXPECT_TRUE(fs::exists(wav));
        EXPECT_FALSE(fs::exists(ogg));
        EXPECT_FALSE(fs::exists(job.outputBase + ".wav"));
        fs::remove(wav);
    }

    settings.azidGain = "-3";
    JobInfo job = Job("a.ac3");
    ASSERT_EQ(Run(job), RESULT_OK);
    const std::vector<std::string> args = Args("besweet.exe");
    const std::vector<std::string> tail(args.end() - 4, args.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"-azid(", "-g", "-3", ")"}));
    EXPECT_EQ(DecoderCommand(Decoder::BeSweet, job, "in.ac3", "o.wav", settings).Text(),
              "besweet.exe -core( -2ch -input \"in.ac3\" -output \"o.wav\" ) -azid( -g -3 )");
}

TEST_F(RunnerTest, OutputBelowTheToolsMinimumFailsAndIsDeleted) {
    struct Row {
        const char* name;
        const char* tool;
        uint32_t sourceSize;
        uint32_t minimum;
    };
    const Row rows[] = {
        {"a.mp3", "lame.exe", 3000000, 1000000}, // a third of the source
        {"a.mpc", "mppdec.exe", 1000, 1045},     // the source and a header
        {"a.ac3", "besweet.exe", 100000, 50},    // whatever the source size
        {"a.m4a", "faad.exe", 5000, 5000},       // the source size
        {"a.mp4", "faad.exe", 5000, 50},         // video: the sound is far smaller
        {"a.wv", "wvunpack.exe", 5000, 5000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WriteTool(tools, row.tool, WRITE_WAVOUT);
        for (const uint32_t bytes : {row.minimum - 1, row.minimum}) {
            Fake("0", bytes);
            JobInfo job = Job(row.name, row.sourceSize);
            const bool enough = bytes == row.minimum;
            EXPECT_EQ(Run(job), enough ? RESULT_OK : RESULT_DECODE_FAILED) << bytes;
            EXPECT_EQ(fs::exists(job.sourcePath), enough);
        }
    }
}

TEST_F(RunnerTest, ExitCodesStartFailuresAndMissingSources) {
    WriteTool(tools, "lame.exe", WRITE_WAVOUT);
    Fake("2", 5000); // a WAV written, then a failure reported
    JobInfo job = Job("a.mp3");
    EXPECT_EQ(Run(job), 2);
    EXPECT_FALSE(fs::exists(job.sourcePath));

    for (const char* tool : {"ofr.exe", "ttaenc.exe"}) { // their exit code says nothing
        WriteTool(tools, tool, WRITE_WAVOUT);
    }
    Fake("1", 10);
    for (const char* name : {"a.ofr", "a.tta"}) {
        JobInfo ignored = Job(name);
        EXPECT_EQ(Run(ignored), RESULT_OK) << name;
    }

    const std::pair<const char*, int32_t> missing[] = {
        {"b.flac", RESULT_FLAC_START},  {"c.ogg", RESULT_OGGDEC_START},
        {"d.aac", RESULT_FAAD_START},   {"e.ape", RESULT_MAC_START},
        {"f.dts", RESULT_DTSDEC_START}, {"g.wma", RESULT_WMADEC_START},
    };
    for (const auto& [name, code] : missing) {
        JobInfo notStarted = Job(name);
        EXPECT_EQ(Run(notStarted), code) << name;
        ExpectWorkingName(notStarted);
        // Nothing stays behind, not even the empty file dtsdec was to write into.
        EXPECT_FALSE(fs::exists(notStarted.sourcePath)) << name;
        EXPECT_FALSE(fs::exists(notStarted.outputBase + ".wav")) << name;
    }

    JobInfo gone = Job("gone.mp3");
    fs::remove(gone.sourcePath);
    const std::string before = gone.sourcePath;
    EXPECT_EQ(Run(gone), RESULT_OPEN_FAILED);
    EXPECT_EQ(gone.sourcePath, before);

    WriteTool(tools, "oggdec.exe", WRITE_WAVOUT);
    JobInfo noFolder = Job("a.ogg");
    noFolder.outputBase = dir / "no such folder/a";
    EXPECT_EQ(Run(noFolder), RESULT_COPY_FAILED);
    EXPECT_FALSE(fs::exists(tools + "/oggdec.exe.args")); // never started
}

TEST_F(RunnerTest, WmadecOutputGetsItsHeaderAndDtsdecsIsKeptAsWritten) {
    // The tool sees the header already written, sizes still 0, before its own output.
    WriteTool(tools, "wmadec.exe",
              "cp /proc/$$/fd/1 \"$here/before\"\n"
              "head -c \"$FAKE_BYTES\" /dev/zero | tr '\\0' x");
    Fake("0", 1000);
    JobInfo wma = Job("a.wma");
    const std::string src = wma.sourcePath;
    ASSERT_EQ(Run(wma), RESULT_OK);
    EXPECT_EQ(Args("wmadec.exe"), std::vector<std::string>{src});
    const std::string bytes = testwav::ReadFile(wma.sourcePath);
    ASSERT_EQ(bytes.size(), 1044u);
    const WavHeader h = ParseWavHeader(
        std::span<const uint8_t, 44>(reinterpret_cast<const uint8_t*>(bytes.data()), 44));
    EXPECT_EQ(h.riffSize, 1036u);
    EXPECT_EQ(h.dataSize, 1000u);
    EXPECT_EQ(h.nChannels, 2);
    EXPECT_EQ(h.nSamplesPerSec, 44100u);
    EXPECT_EQ(h.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(h.nBlockAlign, 4);
    EXPECT_EQ(bytes.substr(44), std::string(1000, 'x'));
    WavHeader before = h;
    before.riffSize = 0;
    before.dataSize = 0;
    const auto beforeBytes = SerializeWavHeader(before);
    EXPECT_EQ(testwav::ReadFile(tools + "/before"),
              std::string(beforeBytes.begin(), beforeBytes.end()));

    Fake("0", 0); // a header alone is below wmadec's 50 bytes
    JobInfo empty = Job("b.wma");
    EXPECT_EQ(Run(empty), RESULT_DECODE_FAILED);
    EXPECT_FALSE(fs::exists(empty.sourcePath));

    WriteTool(tools, "dtsdec.exe", "head -c \"$FAKE_BYTES\" /dev/zero | tr '\\0' y");
    for (const uint32_t size : {99u, 100u}) {
        Fake("0", size);
        JobInfo dts = Job("a.dts");
        const std::string dtsSrc = dts.sourcePath;
        EXPECT_EQ(Run(dts), size == 100 ? RESULT_OK : RESULT_DECODE_FAILED);
        EXPECT_EQ(Args("dtsdec.exe"), (std::vector<std::string>{"-o", "wav", dtsSrc}));
        EXPECT_EQ(fs::exists(dts.sourcePath), size == 100);
        if (size == 100) {
            EXPECT_EQ(testwav::ReadFile(dts.sourcePath), std::string(100, 'y'));
        }
    }
}

TEST_F(RunnerTest, WavegainRunsInTheWavsFolderAndItsTemporaryFileIsDeleted) {
    WriteTool(tools, "wavegain.exe", ": > wavegain.tmp\nexit \"$FAKE_EXIT\"");
    JobInfo job = Job("sub/talk.wav");
    job.normMode = 3;
    job.gain = -5;
    RunnerContext context{child, settings};
    Fake("7", 0);
    EXPECT_EQ(RunWaveGain(job, context), 7);
    EXPECT_EQ(Args("wavegain.exe"),
              (std::vector<std::string>{"-t", "-r", "-g", "-5", "-y", "-d", "2", job.sourcePath}));
    EXPECT_EQ(ReadLines(tools + "/wavegain.exe.cwd"),
              std::vector<std::string>{fs::canonical(dir / "sub").string()});
    EXPECT_FALSE(fs::exists(dir / "sub/wavegain.tmp"));

    // No selection in the list (-1) is not "none": dither -2. A relative WAV path still
    // names the WAV once the tool runs in the WAV's folder.
    job.normMode = -1;
    job.gain = 0;
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.path());
    job.sourcePath = "sub/talk.wav";
    Fake("0", 0);
    EXPECT_EQ(RunWaveGain(job, context), RESULT_OK);
    fs::current_path(cwd);
    const std::vector<std::string> args = Args("wavegain.exe");
    EXPECT_EQ(args[6], "-2");
    EXPECT_EQ(fs::canonical(args[7]), fs::canonical(dir / "sub/talk.wav"));

    fs::remove(tools + "/wavegain.exe");
    EXPECT_EQ(RunWaveGain(job, context), RESULT_WAVEGAIN_START);
}

TEST_F(RunnerTest, ToolStoppedByTheExitPathReports1001AndLeavesNoWav) {
    // The tool starts a child of its own, as a decoder script would.
    const std::string body = std::string(FIND_WAVOUT) + "echo partial > \"$WAVOUT\"\n" +
                             "sleep 60 & echo $! > \"$here/child.pid\"\nwait";
    for (const char* tool : {"flac.exe", "ttaenc.exe"}) {
        WriteTool(tools, tool, body);
    }
    for (const char* name : {"a.flac", "a.tta"}) {
        SCOPED_TRACE(name);
        fs::remove(tools + "/child.pid");
        ChildProcess exiting;
        RunnerContext context{exiting, settings};
        std::thread stopper([&] {
            while (!fs::exists(tools + "/child.pid") || fs::file_size(tools + "/child.pid") == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            exiting.Terminate();
        });
        JobInfo job = Job(name, 1);
        // ttaenc's exit code counts for nothing, but a stopped tool's partial WAV must not
        // go on to be loaded.
        EXPECT_EQ(RunDecoder(*DecoderFor(job.extension), job, context), TERMINATED_EXIT_CODE);
        stopper.join();
        EXPECT_FALSE(fs::exists(job.sourcePath));
        const pid_t grandchild = std::stoi(ReadLines(tools + "/child.pid").at(0));
        EXPECT_TRUE(kestrun::test::ProcessEnds(grandchild));
    }
}

// The worker reports through this; it keeps what it is told, in order.
class RecordingReceiver : public IJobReceiver {
public:
    void SetTitle(const std::string& title) override {
        std::lock_guard lock(mutex_);
        titles.push_back(title);
    }
    bool IsAlive() const override { return alive; }
    void Deliver(std::unique_ptr<JobResult> result) override {
        std::lock_guard lock(mutex_);
        results.push_back(*result);
    }
    void SetProgress(const JobProgress& report) override {
        std::lock_guard lock(mutex_);
        progress.push_back(report);
    }
    bool ShowsProgress() const override { return true; }
    // The steps reported, each once in the order they began.
    std::vector<JobStep> Steps() const {
        std::vector<JobStep> steps;
        for (const JobProgress& p : progress) {
            if (steps.empty() || steps.back() != p.step) {
                steps.push_back(p.step);
            }
        }
        return steps;
    }
    std::vector<std::string> titles;
    std::vector<JobResult> results;
    std::vector<JobProgress> progress;
    std::atomic<bool> alive{true};

private:
    std::mutex mutex_;
};

class WorkerTest : public RunnerTest {
protected:
    std::string StereoWav(const std::string& name) {
        const std::string path = dir / name;
        testwav::WriteFile(path, testwav::MakeWav(2, 8000, Tone(16000)));
        return path;
    }
    SharedEngine engine;
    ExitSignal exitSignal;
    RecordingReceiver receiver;
    CWrkThread worker{engine, child, exitSignal, receiver, settings};
};

// Holds the worker in SetTitle, as a call that blocks (an open of a FIFO) would.
class BlockingReceiver : public RecordingReceiver {
public:
    void SetTitle(const std::string& title) override {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
        lock.unlock();
        RecordingReceiver::SetTitle(title);
    }
    void AwaitEntered() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return entered_; });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool released_ = false;
};

TEST_F(WorkerTest, TheExitPathGivesUpOnAStuckWorkerUntilItIsFree) {
    // The exit path joined the worker without a limit, so a blocked call hung the program.
    BlockingReceiver blocking;
    CWrkThread stuck{engine, child, exitSignal, blocking, settings};
    ASSERT_TRUE(stuck.Start());
    stuck.PostCommand(JOB_CMD_RUN, MakeJobInfo(dir / "absent.wav", {}));
    stuck.PostCommand(JOB_CMD_QUIT);
    blocking.AwaitEntered();
    EXPECT_FALSE(stuck.JoinUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
    blocking.Release();
    EXPECT_TRUE(stuck.JoinUntil(std::chrono::steady_clock::now() + std::chrono::seconds(60)));
    EXPECT_EQ(blocking.results.size(), 1u);
    EXPECT_TRUE(stuck.JoinUntil(std::chrono::steady_clock::now()));
}

TEST_F(WorkerTest, JobsRunInOrderEachWithOneResult) {
    JobOptions mono;
    mono.makeMono = true;
    const std::string wav = StereoWav("talk.wav");
    StereoWav("plain.wav");
    WriteTool(tools, "lame.exe", "exit 3");
    worker.PostCommand(JOB_CMD_RUN, MakeJobInfo(wav, mono));
    worker.PostCommand(JOB_CMD_RUN, MakeJobInfo(dir / "notes.txt", {}));
    worker.PostCommand(JOB_CMD_RUN, MakeJobInfo(Job("song.mp3").sourcePath, {}));
    worker.PostCommand(JOB_CMD_RUN, MakeJobInfo(dir / "plain.wav", {}));
    worker.PostCommand(JOB_CMD_QUIT);
    worker.PostCommand(JOB_CMD_RUN, MakeJobInfo(wav, {})); // after the quit: never run
    ASSERT_TRUE(worker.Start());
    worker.Join();

    ASSERT_EQ(receiver.results.size(), 4u);
    EXPECT_EQ(receiver.results[0].code, RESULT_OK);
    EXPECT_EQ(receiver.results[0].text, dir / "talk");
    EXPECT_EQ(receiver.results[1].code, UNSUPPORTED_TYPE);
    EXPECT_EQ(receiver.results[2].code, 3);
    EXPECT_EQ(receiver.results[3].code, RESULT_OK);
    EXPECT_NE(receiver.results[3].loadNumber, receiver.results[0].loadNumber);
    EXPECT_EQ(engine.CurrentLoad(), receiver.results[3].loadNumber);
    // The dropped WAV itself was made mono.
    EXPECT_EQ(testwav::ReadFile(wav).size(), 44u + 16000u);
    // A further command always waited, so the idle title never came between the jobs.
    EXPECT_EQ(receiver.titles,
              (std::vector<std::string>{"talk.wav", "notes.txt", "song.mp3", "plain.wav"}));
}

TEST_F(WorkerTest, FailuresAfterDecodingStopTheJob) {
    const std::string wav = StereoWav("talk.wav");
    WriteTool(tools, "wavegain.exe", "exit \"$FAKE_EXIT\"");
    JobOptions norm;
    norm.normIndex = 1;
    uint64_t load = 7;
    for (const auto& [exitCode, expected] : {std::pair{"4", 4}, std::pair{"0", RESULT_OK}}) {
        Fake(exitCode, 0);
        std::unique_ptr<JobInfo> job = MakeJobInfo(wav, norm);
        EXPECT_EQ(worker.PostDecode(*job, &load), expected);
    }
    // Normalised, then refused by the engine: -1, not 0.
    testwav::WriteFile(wav, {'R', 'I', 'F', 'F'});
    std::unique_ptr<JobInfo> bad = MakeJobInfo(wav, norm);
    EXPECT_EQ(worker.PostDecode(*bad, &load), RESULT_BAD_WAV);
    JobOptions mono;
    mono.makeMono = true;
    std::unique_ptr<JobInfo> badMono = MakeJobInfo(wav, mono);
    EXPECT_EQ(worker.PostDecode(*badMono, &load), RESULT_MONO_FAILED);
}

// A decoder that fails, or whose WAV the engine refuses, leaves a WAV already at the
// output's name exactly as it was; one that succeeds replaces it only when the job is done,
// or never when the job does not keep its WAV.
TEST_F(WorkerTest, AnExistingWavSurvivesEveryFailureAndStaysWhenNotKept) {
    const std::string song = dir / "song.wav";
    const std::vector<uint8_t> mine = testwav::MakeWav(2, 8000, Tone(800));
    const std::vector<uint8_t> decoded = testwav::MakeWav(1, 8000, Tone(16000));
    testwav::WriteFile(dir / "decoded.wav", decoded);
    setenv("DECODED", (dir / "decoded.wav").c_str(), 1);
    const std::string source = Job("song.flac", 100).sourcePath;
    auto run = [&](const std::string& body, bool keep) {
        WriteTool(tools, "flac.exe", std::string(FIND_WAVOUT) + body);
        testwav::WriteFile(song, mine);
        receiver.results.clear();
        std::unique_ptr<JobInfo> job = MakeJobInfo(source, {});
        job->keepDecodedWav = keep;
        worker.RunJob(std::move(job));
        EXPECT_EQ(receiver.results.size(), 1u);
        return receiver.results.empty() ? JobResult{} : receiver.results.back();
    };
    auto mineIntact = [&] {
        return testwav::ReadFile(song) == std::string(mine.begin(), mine.end());
    };
    auto onlyTheFiles = [&] {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            names.insert(entry.path().filename().string());
        }
        return names == std::set<std::string>{"tools", "song.flac", "song.wav", "decoded.wav"};
    };

    EXPECT_EQ(run("cp \"$DECODED\" \"$WAVOUT\"; exit 2", true).code, 2);
    EXPECT_TRUE(mineIntact());
    EXPECT_TRUE(onlyTheFiles());
    // Decoded, but not a WAV the engine can read.
    const JobResult refused = run("head -c 5000 /dev/urandom > \"$WAVOUT\"", true);
    EXPECT_EQ(refused.code, RESULT_BAD_WAV);
    EXPECT_FALSE(refused.detail.empty());
    EXPECT_TRUE(mineIntact());
    EXPECT_TRUE(onlyTheFiles());
    EXPECT_EQ(engine.CurrentLoad(), 0u);

    const JobResult notKept = run("cp \"$DECODED\" \"$WAVOUT\"", false);
    ASSERT_EQ(notKept.code, RESULT_OK);
    EXPECT_TRUE(notKept.wavIsTemporary);
    EXPECT_EQ(testwav::ReadFile(notKept.wavPath), std::string(decoded.begin(), decoded.end()));
    EXPECT_TRUE(mineIntact());
    fs::remove(notKept.wavPath);
    EXPECT_TRUE(onlyTheFiles());

    const JobResult kept = run("cp \"$DECODED\" \"$WAVOUT\"", true);
    ASSERT_EQ(kept.code, RESULT_OK);
    EXPECT_FALSE(kept.wavIsTemporary);
    EXPECT_EQ(kept.wavPath, song);
    EXPECT_EQ(testwav::ReadFile(song), std::string(decoded.begin(), decoded.end()));
    EXPECT_TRUE(onlyTheFiles());
    EXPECT_EQ(engine.CurrentLoad(), kept.loadNumber);
}

// The engine reads the WAV while the decoder is still writing it, header sizes not yet
// filled in, and ends with exactly the load of the finished file; with a step between
// decoding and loading it waits for the decoder instead.
TEST_F(WorkerTest, ALoadThatFollowsTheDecoderGivesTheLoadOfTheFinishedFile) {
    const std::vector<uint8_t> decoded = testwav::MakeWav(2, 22050, Tone(2 * 22050 * 3));
    testwav::WriteFile(dir / "decoded.wav", decoded);
    setenv("DECODED", (dir / "decoded.wav").c_str(), 1);
    // The header first with its sizes zero, then the data in pieces, then the real header.
    WriteTool(tools, "lame.exe",
              std::string(FIND_WAVOUT) +
                  "{ head -c 4 \"$DECODED\"; head -c 4 /dev/zero; tail -c +9 \"$DECODED\" |"
                  " head -c 32; head -c 4 /dev/zero; } > \"$WAVOUT\"\n"
                  "size=$(wc -c < \"$DECODED\"); at=44\n"
                  "while [ $at -lt $size ]; do\n"
                  "  tail -c +$((at + 1)) \"$DECODED\" | head -c 40000 >> \"$WAVOUT\"\n"
                  "  at=$((at + 40000)); sleep 0.02\n"
                  "done\n"
                  "head -c 44 \"$DECODED\" | dd of=\"$WAVOUT\" conv=notrunc 2>/dev/null");
    CVadEngine reference;
    ASSERT_TRUE(reference.LoadWav(dir / "decoded.wav"));
    for (const bool mono : {false, true}) {
        SCOPED_TRACE(mono ? "mono" : "as decoded");
        receiver.results.clear();
        receiver.progress.clear();
        JobOptions options;
        options.makeMono = mono;
        worker.RunJob(MakeJobInfo(Job("talk.mp3").sourcePath, options));
        ASSERT_EQ(receiver.results.size(), 1u);
        const JobResult& result = receiver.results[0];
        ASSERT_EQ(result.code, RESULT_OK) << result.detail;
        EXPECT_TRUE(engine.WithLoad(result.loadNumber, [&](CVadEngine& e) {
            EXPECT_EQ(e.header().nChannels, mono ? 1 : 2);
            EXPECT_EQ(e.frameCount(), reference.frameCount());
            if (!mono) {
                for (int c = 0; c < 2; ++c) {
                    EXPECT_TRUE(*e.energy(c) == *reference.energy(c)) << c;
                }
                EXPECT_EQ(e.maxEnergy(), reference.maxEnergy());
            }
        }));
        EXPECT_EQ(testwav::ReadFile(dir / "talk.wav").size(),
                  mono ? 44 + (decoded.size() - 44) / 2 : decoded.size());
        // Followed, the decoding step counts the bytes read and ends with all of them;
        // otherwise the steps after it come one by one, the load with its size.
        const std::vector<JobStep> steps = receiver.Steps();
        const JobProgress& last = receiver.progress.back();
        if (mono) {
            EXPECT_EQ(steps, (std::vector{JobStep::Decode, JobStep::Mono, JobStep::Load}));
            // Not read while written, but its growing size told.
            EXPECT_TRUE(std::any_of(
                receiver.progress.begin(), receiver.progress.end(),
                [](const JobProgress& p) { return p.step == JobStep::Decode && p.done > 44; }));
            EXPECT_EQ(last, (JobProgress{JobStep::Load, (decoded.size() - 44) / 2,
                                         (decoded.size() - 44) / 2}));
        } else {
            EXPECT_EQ(steps, std::vector{JobStep::Decode});
            EXPECT_EQ(last,
                      (JobProgress{JobStep::Decode, decoded.size() - 44, decoded.size() - 44}));
            for (std::size_t i = 1; i < receiver.progress.size(); ++i) {
                EXPECT_GE(receiver.progress[i].done, receiver.progress[i - 1].done);
            }
        }
    }
}

// A WAV in another layout is never rewritten: mono conversion and normalisation work on a
// canonical copy that is gone afterwards, and the speech model is pointed at the file itself.
TEST_F(WorkerTest, StepsOnAWavOfAnotherLayoutLeaveTheFileAlone) {
    // 24-bit stereo: each 16-bit sample of the tone with a low byte below it.
    const std::vector<int16_t> tone = Tone(2 * 8000);
    std::vector<uint8_t> wav24 = testwav::MakeWav(2, 8000, {});
    wav24.resize(44);
    for (std::size_t i = 0; i < tone.size(); ++i) {
        const uint16_t s = static_cast<uint16_t>(tone[i]);
        wav24.insert(wav24.end(), {static_cast<uint8_t>(i * 7), static_cast<uint8_t>(s),
                                   static_cast<uint8_t>(s >> 8)});
    }
    testwav::Put16(wav24, 32, 6);  // block align
    testwav::Put16(wav24, 34, 24); // bits
    testwav::Put32(wav24, 28, 8000 * 6);
    testwav::Put32(wav24, 40, static_cast<uint32_t>(wav24.size() - 44));
    testwav::FixRiffSize(wav24);
    const std::string path = dir / "field.wav";
    testwav::WriteFile(path, wav24);
    WriteTool(tools, "wavegain.exe", "");

    JobOptions options;
    options.makeMono = true;
    options.normIndex = 1;
    worker.RunJob(MakeJobInfo(path, options));
    ASSERT_EQ(receiver.results.size(), 1u);
    const JobResult& result = receiver.results[0];
    ASSERT_EQ(result.code, RESULT_OK) << result.detail;
    EXPECT_EQ(result.wavPath, path);
    EXPECT_FALSE(result.wavIsTemporary);
    EXPECT_EQ(testwav::ReadFile(path), std::string(wav24.begin(), wav24.end()));
    const std::vector<std::string> args = Args("wavegain.exe");
    ASSERT_FALSE(args.empty());
    EXPECT_NE(args.back(), path);
    EXPECT_FALSE(fs::exists(args.back())) << "the copy stays";
    EXPECT_TRUE(engine.WithLoad(result.loadNumber, [&](CVadEngine& e) {
        EXPECT_EQ(e.header().nChannels, 1);
        EXPECT_EQ(e.sampleCount(), 8000u);
    }));
    EXPECT_EQ(receiver.Steps(),
              (std::vector{JobStep::Copy, JobStep::Mono, JobStep::Normalise, JobStep::Load}));
    EXPECT_EQ(receiver.progress.back(), (JobProgress{JobStep::Load, 16000, 16000}));

    // A layout nobody reads is refused with what it is, and still not touched.
    std::vector<uint8_t> alaw = wav24;
    testwav::Put16(alaw, 20, 6);
    testwav::WriteFile(path, alaw);
    worker.RunJob(MakeJobInfo(path, options));
    ASSERT_EQ(receiver.results.size(), 2u);
    EXPECT_NE(receiver.results[1].code, RESULT_OK);
    EXPECT_FALSE(receiver.results[1].detail.empty());
    EXPECT_EQ(testwav::ReadFile(path), std::string(alaw.begin(), alaw.end()));
}

// A type the table does not name goes to ffmpeg when its probe finds sound, with the
// job's audio stream; otherwise it stays unsupported and nothing is written.
TEST_F(WorkerTest, UnknownTypesAreDecodedWhenTheProbeFindsSound) {
    testwav::WriteFile(dir / "decoded.wav", testwav::MakeWav(1, 8000, Tone(8000)));
    setenv("DECODED", (dir / "decoded.wav").c_str(), 1);
    WriteTool(tools, "ffdecode.exe",
              "case $1 in\n"
              "--probe) case $2 in *.media|*/noext) exit 0 ;; esac; exit 1 ;;\n"
              "--stream) cp \"$DECODED\" \"$4\" ;;\n"
              "esac");
    for (const char* name : {"film.media", "noext", "notes.txt"}) {
        SCOPED_TRACE(name);
        receiver.results.clear();
        std::unique_ptr<JobInfo> job = MakeJobInfo(Job(name, 100).sourcePath, {});
        job->audioStream = 2;
        worker.RunJob(std::move(job));
        ASSERT_EQ(receiver.results.size(), 1u);
        const bool sound = std::string(name) != "notes.txt";
        EXPECT_EQ(receiver.results[0].code, sound ? RESULT_OK : UNSUPPORTED_TYPE);
        if (sound) {
            const std::vector<std::string> args = Args("ffdecode.exe");
            ASSERT_EQ(args.size(), 4u);
            EXPECT_EQ(args[0], "--stream");
            EXPECT_EQ(args[1], "2");
            EXPECT_EQ(args[2], dir / name);
        }
        const std::string base = dir / fs::path(name).stem().string();
        EXPECT_EQ(fs::exists(base + ".wav"), sound);
    }
}

TEST_F(WorkerTest, NothingIsReportedOnceClosing) {
    const std::string wav = StereoWav("talk.wav");
    receiver.alive = false; // the job runs, its result is dropped
    worker.RunJob(MakeJobInfo(wav, {}));
    EXPECT_NE(engine.CurrentLoad(), 0u);
    engine.Clear();
    receiver.alive = true;
    exitSignal.Raise(); // the job is not even run
    worker.RunJob(MakeJobInfo(wav, {}));
    EXPECT_EQ(engine.CurrentLoad(), 0u);
    EXPECT_TRUE(receiver.results.empty());
    EXPECT_EQ(receiver.titles, std::vector<std::string>{"talk.wav"});
}

TEST(JobQueueTest, OutputBaseAndExtensionRules) {
    struct Row {
        const char* path;
        bool useSrcPath;
        const char* folder;
        const char* base;
        const char* ext;
    };
    const Row rows[] = {
        {"/a/b.mp3", true, "/out", "/a/b", "mp3"},
        {"/a/b.mp3", false, "/out", "/out/b", "mp3"},
        {"/a/b.mp3", false, "/out/", "/out/b", "mp3"},
        {"/a/b.mp3", false, "./", "./b", "mp3"},
        {"/a/b.mp3", false, "", "b", "mp3"},
        {"/a/talk.day1.AVI", true, "", "/a/talk.day1", "AVI"},
        {"/a/README", true, "", "/a/README", ""},
        {"/a.b/c", true, "", "/a.b/c", ""},
    };
    for (const Row& row : rows) {
        JobOptions options;
        options.useSrcPath = row.useSrcPath;
        options.outputFolder = row.folder;
        const std::unique_ptr<JobInfo> job = MakeJobInfo(row.path, options);
        EXPECT_EQ(job->outputBase, row.base) << row.path;
        EXPECT_EQ(job->extension, row.ext) << row.path;
        EXPECT_EQ(job->sourcePath, row.path);
    }
    JobOptions options;
    options.makeMono = true;
    options.gainDb = -12;
    options.normIndex = 5;
    const std::unique_ptr<JobInfo> job = MakeJobInfo("x.wav", options);
    EXPECT_EQ(job->monoFlag, MONO_FLAG_SET);
    EXPECT_EQ(job->gain, -12);
    EXPECT_EQ(job->normMode, 5);
    EXPECT_EQ(MakeJobInfo("x.wav", {})->monoFlag, 0);
}

TEST(JobQueueTest, OneJobAtATimeFirstInFirstOut) {
    std::vector<std::string> dispatched;
    std::vector<std::string> logged;
    std::vector<int32_t> counts;
    JobQueue queue([&](std::unique_ptr<JobInfo> job) { dispatched.push_back(job->sourcePath); },
                   [&](const std::string& line, const std::string&) { logged.push_back(line); },
                   [&](int32_t n) { counts.push_back(n); });
    queue.CreateJob("/in/one.mp3", {});
    queue.CreateJob("/in/two.wav", {});
    queue.CreateJob("/in/three.ogg", {});
    EXPECT_EQ(dispatched, std::vector<std::string>{"/in/one.mp3"});
    EXPECT_EQ(queue.pendingJobs(), 3);
    EXPECT_FALSE(queue.workerReady());
    queue.OnJobDone();
    EXPECT_EQ(dispatched, (std::vector<std::string>{"/in/one.mp3", "/in/two.wav"}));
    queue.OnJobDone();
    queue.OnJobDone();
    EXPECT_EQ(dispatched.size(), 3u);
    EXPECT_TRUE(queue.workerReady());
    EXPECT_EQ(logged, (std::vector<std::string>{"one.mp3", "two.wav", "three.ogg"}));
    EXPECT_EQ(counts, (std::vector<int32_t>{1, 2, 3, 2, 1, 0}));

    queue.CreateJob("/in/four.wav", {});
    queue.CreateJob("/in/five.wav", {});
    queue.DropQueued();
    EXPECT_EQ(queue.pendingJobs(), 1); // the running one
}

TEST(SharedEngineTest, LoadNumbersTellWhichLoadTheEngineHolds) {
    testwav::TempDir dir;
    const std::string wav = dir / "a.wav";
    testwav::WriteFile(wav, testwav::MakeWav(1, 8000, Tone(8000)));
    SharedEngine engine;
    const uint64_t first = engine.Load(wav);
    const uint64_t second = engine.Load(wav);
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, second);
    int ran = 0;
    EXPECT_FALSE(engine.WithLoad(first, [&](CVadEngine&) { ++ran; }));
    EXPECT_TRUE(engine.WithLoad(second, [&](CVadEngine& e) { ran += e.IsLoaded() ? 1 : 100; }));
    engine.Clear();
    EXPECT_FALSE(engine.WithLoad(second, [&](CVadEngine&) { ++ran; }));
    EXPECT_EQ(engine.Load(dir / "missing.wav"), 0u);
    EXPECT_FALSE(engine.WithLoad(0, [&](CVadEngine&) { ++ran; }));
    EXPECT_EQ(ran, 1);
}

TEST(SharedEngineTest, ClearsAndRunsNeverOverlapALoad) {
    testwav::TempDir dir;
    const std::string wav = dir / "a.wav";
    testwav::WriteFile(wav, testwav::MakeWav(2, 8000, Tone(40000)));
    SharedEngine engine;
    std::atomic<bool> stop{false};
    std::thread loader([&] {
        while (!stop) {
            engine.Load(wav);
        }
    });
    int runs = 0;
    for (int i = 0; i < 200; ++i) {
        const uint64_t load = engine.CurrentLoad();
        engine.WithLoad(load, [&](CVadEngine& e) {
            ASSERT_TRUE(e.IsLoaded());
            e.SetDetectThreshold(0.045);
            e.DetectEnergyBased(0);
            e.segments().ClearSegments();
            ++runs;
        });
        if (i % 3 == 0) {
            engine.Clear();
        }
    }
    stop = true;
    loader.join();
    SUCCEED() << runs << " runs between loads";
}

} // namespace
