// What the program does with paths that are no regular files, the reasons it gives for a
// file it cannot use, and what a kill in the middle of a rewrite leaves behind: the
// platform's file checks and replacement, kestrun-cli and the adapters run as a user would.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CliRunner.h"
#include "FakeTool.h"
#include "File.h"
#include "ResultCodes.h"
#include "TestWav.h"

namespace {

using namespace kestrun;
using kestrun::test::RunCli;
using kestrun::test::RunOptions;
using kestrun::test::RunProgram;
using kestrun::test::RunResult;
using kestrun::test::WriteTool;
using testwav::TempDir;
namespace fs = std::filesystem;

const std::string BAD_FILE = "Ошибка. (нет памяти или плохой файл)";
const std::string OPEN_FAILED = "Ошибка: Не удалось открыть файл";
const std::string MONO_FAILED = "Ошибка: Не удалось преобразовать в моно или недопустимый формат";
const std::string UNSUPPORTED = "Данный тип файла не поддерживается.";
const std::string IS_FIFO = "это именованный канал (FIFO), а не файл";
const std::string IS_SOCKET = "это сокет, а не файл";
const std::string IS_DEVICE = "это устройство, а не файл";
const std::string IS_FOLDER = "это папка, а не файл";
const std::string NOT_FOUND = "файл не найден";
const std::string NO_ACCESS = "нет доступа к файлу";

// The folder kestrun-cli and the adapters the build put beside it live in.
std::string ToolFolder() {
    return fs::path(KESTRUN_CLI).parent_path().string();
}

std::string Listing(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    std::string text;
    for (const std::string& name : names) {
        text += name + " ";
    }
    return text;
}

// A socket file at path, left bound (nobody listens: a reader would get nothing from it).
void MakeSocket(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    close(fd);
}

// Runs with a generous time limit: a child that hangs is killed, and the FIFOs it may wait
// on are opened once, so that the test fails instead of hanging.
RunResult RunLimited(const std::vector<std::string>& argv, bool* hung,
                     const std::vector<std::string>& fifos = {}) {
    RunOptions options;
    options.whileRunning = [hung, fifos](int pid) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!kestrun::test::ProcessHasEnded(pid)) {
            if (std::chrono::steady_clock::now() > deadline) {
                *hung = true;
                kill(pid, SIGKILL);
                for (const std::string& fifo : fifos) {
                    close(open(fifo.c_str(), O_RDWR | O_NONBLOCK)); // wakes an open for reading
                }
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    return RunProgram(argv, options);
}

std::vector<std::string> Cli(std::vector<std::string> args) {
    args.insert(args.begin(), KESTRUN_CLI);
    return args;
}

// ---- The platform's look at a path, and the texts the log gives each reason ----

TEST(filesCheck, EachKindOfPathIsToldApartWithoutBlocking) {
    TempDir dir;
    testwav::WriteText(dir / "plain.wav", "bytes");
    fs::create_symlink(dir / "plain.wav", dir / "link.wav");
    fs::create_symlink(dir / "absent.wav", dir / "dangling.wav");
    fs::create_directory(dir / "folder.wav");
    ASSERT_EQ(mkfifo((dir / "fifo.wav").c_str(), 0644), 0);
    MakeSocket(dir / "socket.wav");
    fs::create_symlink("/dev/zero", dir / "zero.wav");
    const std::pair<std::string, FileProblem> cases[] = {
        {dir / "plain.wav", FileProblem::None},
        {dir / "link.wav", FileProblem::None},
        {dir / "absent.wav", FileProblem::NotFound},
        {dir / "dangling.wav", FileProblem::NotFound},
        {dir / "plain.wav/inside", FileProblem::NotFound},
        {dir / "folder.wav", FileProblem::Folder},
        {dir / "fifo.wav", FileProblem::Fifo},
        {dir / "socket.wav", FileProblem::Socket},
        {dir / "zero.wav", FileProblem::Device},
        {"/dev/null", FileProblem::Device},
    };
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(RegularFileProblem(path), expected);
        uint64_t size = 0;
        EXPECT_EQ(RegularFileSize(path, &size), expected);
        FileProblem problem = FileProblem::Unreadable;
        const int fd = OpenForReadWrite(path, &problem);
        EXPECT_EQ(problem, expected);
        EXPECT_EQ(fd >= 0, expected == FileProblem::None);
        CloseFile(fd);
    }
    uint64_t size = 0;
    EXPECT_EQ(RegularFileSize(dir / "link.wav", &size), FileProblem::None);
    EXPECT_EQ(size, 5u);
}

TEST(filesCheck, AFileThisUserMayNotReadIsNoAccess) {
    TempDir dir;
    testwav::WriteText(dir / "secret.wav", "bytes");
    chmod((dir / "secret.wav").c_str(), 0);
    if (geteuid() != 0) {
        EXPECT_EQ(RegularFileProblem(dir / "secret.wav"), FileProblem::NoAccess);
        return;
    }
    // Root reads everything: the look is taken by a child that gave its rights up.
    const pid_t child = fork();
    if (child == 0) {
        chmod(dir.path().c_str(), 0755);
        _exit(setgid(65534) == 0 && setuid(65534) == 0
                  ? static_cast<int>(RegularFileProblem(dir / "secret.wav"))
                  : 100);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(FileProblem::NoAccess));
}

TEST(filesCheck, EveryReasonHasItsText) {
    EXPECT_EQ(FileProblemText(FileProblem::NotFound), NOT_FOUND);
    EXPECT_EQ(FileProblemText(FileProblem::NoAccess), NO_ACCESS);
    EXPECT_EQ(FileProblemText(FileProblem::Folder), IS_FOLDER);
    EXPECT_EQ(FileProblemText(FileProblem::Fifo), IS_FIFO);
    EXPECT_EQ(FileProblemText(FileProblem::Socket), IS_SOCKET);
    EXPECT_EQ(FileProblemText(FileProblem::Device), IS_DEVICE);
    EXPECT_EQ(FileProblemText(FileProblem::Unreadable), "не удалось открыть файл");
    EXPECT_EQ(FileProblemText(FileProblem::None), "");
    // Free space rounds down, the need up: the figures never make a full disk look roomy.
    constexpr uint64_t MB = 1 << 20;
    EXPECT_EQ(DiskFullText(3 * MB, 310 * MB), "диск заполнен (свободно 3 МБ, нужно 310 МБ)");
    EXPECT_EQ(DiskFullText(3 * MB + MB - 1, 309 * MB + 1),
              "диск заполнен (свободно 3 МБ, нужно 310 МБ)");
    EXPECT_EQ(DiskFullText(0, 1), "диск заполнен (свободно 0 МБ, нужно 1 МБ)");
}

// ---- kestrun-cli refuses each at once, with the message of the step and the reason ----

class filesCli : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(tools_);
        // A fake flac that would copy its input: it must never be asked to read a FIFO.
        WriteTool(tools_, "flac.exe", "cat \"$3\" > \"$5\"");
        wav_ = testwav::MakeWav(2, 8000, std::vector<int16_t>(16000, 1000));
        testwav::WriteFile(dir_ / "real.wav", wav_);
    }
    std::string Line(const std::string& file, const std::string& message,
                     const std::string& reason) {
        return "kestrun-cli: " + file + ": " + message + ": " + reason + "\n";
    }

    TempDir dir_;
    const std::string tools_ = dir_ / "tools";
    std::vector<uint8_t> wav_;
};

TEST_F(filesCli, FifosSocketsDevicesAndMissingFilesAreRefusedAtOnceByName) {
    // A FIFO named x.wav or x.flac held the worker in its open for ever.
    std::vector<std::string> fifos;
    for (const char* name : {"fifo.wav", "fifo.flac", "fifo"}) {
        fifos.push_back(dir_ / name);
        ASSERT_EQ(mkfifo(fifos.back().c_str(), 0644), 0);
    }
    MakeSocket(dir_ / "socket.wav");
    fs::create_symlink("/dev/zero", dir_ / "zero.wav");
    fs::create_symlink("/dev/null", dir_ / "null.flac");
    struct Case {
        std::vector<std::string> options;
        std::string file;
        std::string message;
        std::string reason;
    };
    const Case cases[] = {
        {{}, dir_ / "fifo.wav", BAD_FILE, IS_FIFO},
        {{}, dir_ / "fifo.flac", OPEN_FAILED, IS_FIFO},
        {{}, dir_ / "fifo", UNSUPPORTED, IS_FIFO},
        {{"--mono"}, dir_ / "fifo.wav", MONO_FAILED, IS_FIFO},
        {{"--norm", "1"}, dir_ / "fifo.wav", BAD_FILE, IS_FIFO},
        {{}, dir_ / "socket.wav", BAD_FILE, IS_SOCKET},
        {{}, dir_ / "zero.wav", BAD_FILE, IS_DEVICE},
        {{}, "/dev/zero", UNSUPPORTED, IS_DEVICE},
        {{}, dir_ / "null.flac", OPEN_FAILED, IS_DEVICE},
        {{}, dir_ / "absent.wav", BAD_FILE, NOT_FOUND},
        {{}, dir_ / "absent.flac", OPEN_FAILED, NOT_FOUND},
        {{"--norm", "1"}, dir_ / "absent.wav", BAD_FILE, NOT_FOUND},
        {{"--mono"}, dir_ / "absent.wav", MONO_FAILED, NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<std::string> args = {"--tool-dir", tools_};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(c.file);
        bool hung = false;
        const RunResult r = RunLimited(Cli(args), &hung, fifos);
        ASSERT_FALSE(hung) << "kestrun-cli hung";
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, Line(c.file, c.message, c.reason));
    }
    EXPECT_FALSE(fs::exists(tools_ + "/flac.exe.args")) << "the decoder was run";
}

TEST_F(filesCli, AFileThisUserMayNotReadIsNamed) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root and setpriv to run as another user";
    }
    fs::permissions(dir_.path(), fs::perms::all);
    const std::string file = dir_ / "real.wav";
    chmod(file.c_str(), 0600);
    bool hung = false;
    const RunResult r = RunLimited(
        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", KESTRUN_CLI, file},
        &hung);
    ASSERT_FALSE(hung);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, Line(file, BAD_FILE, NO_ACCESS));
}

TEST_F(filesCli, ALinkToARegularFileStillWorks) {
    fs::create_symlink(dir_ / "real.wav", dir_ / "link.wav");
    fs::create_symlink(dir_ / "real.wav", dir_ / "other.flac");
    bool hung = false;
    RunResult r =
        RunLimited(Cli({"--tool-dir", tools_, dir_ / "link.wav", dir_ / "other.flac"}), &hung);
    ASSERT_FALSE(hung);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, dir_ / "link.srt: 1 cues\n" + dir_ / "other.srt: 1 cues\n");
    // The mono rewrite replaces the link's target and leaves the link a link.
    r = RunLimited(Cli({"--mono", dir_ / "link.wav"}), &hung);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.wav"));
    EXPECT_EQ(fs::file_size(dir_ / "real.wav"), 44u + 16000u);
}

// ---- The adapters refuse the same at once when run themselves ----

TEST(filesAdapters, EachAdapterRefusesWhatIsNoRegularFileAtOnce) {
    TempDir dir;
    const std::string fifo = dir / "fifo.flac";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    MakeSocket(dir / "socket.mp3");
    fs::create_symlink("/dev/zero", dir / "zero.mp3");
    fs::create_directory(dir / "folder.wav");
    const std::string tools = ToolFolder();
    const std::string out = dir / "out.wav";
    struct Case {
        std::vector<std::string> argv;
        std::string line;
    };
    const Case cases[] = {
        {{tools + "/flac.exe", "-d", "-f", fifo, "-o", out}, "flac.exe: " + fifo + ": " + IS_FIFO},
        // The compiled lame.exe hands what it will not open to lame.sh, which refuses.
        {{tools + "/lame.exe", "--decode", "-q", "0", fifo, out},
         "lame.exe: " + fifo + ": " + IS_FIFO},
        {{tools + "/lame.exe", "--decode", "-q", "0", dir / "zero.mp3", out},
         "lame.exe: " + dir / "zero.mp3" + ": " + IS_DEVICE},
        {{tools + "/ffdecode.exe", "--stream", "0", dir / "socket.mp3", out},
         "ffdecode.exe: " + dir / "socket.mp3" + ": " + IS_SOCKET},
        {{tools + "/faad.exe", "-d", fifo, "-o", out}, "faad.exe: " + fifo + ": " + IS_FIFO},
        {{tools + "/wmadec.exe", fifo}, "wmadec.exe: " + fifo + ": " + IS_FIFO},
        {{tools + "/wavegain.exe", "-t", "-r", "-g", "0", "-y", "-d", "0", fifo},
         "wavegain.exe: " + fifo + ": " + IS_FIFO},
        {{tools + "/wavegain.exe", "-t", "-r", "-g", "0", "-y", "-d", "0", dir / "folder.wav"},
         "wavegain.exe: " + dir / "folder.wav" + ": " + IS_FOLDER},
        // The probe answers "no sound" without a word, as for any file that is no media.
        {{tools + "/ffdecode.exe", "--probe", fifo}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argv[0] + " " + c.argv[c.argv.size() - 1]);
        bool hung = false;
        const RunResult r = RunLimited(c.argv, &hung, {fifo});
        ASSERT_FALSE(hung) << "the adapter hung";
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.line.empty() ? "" : c.line + "\n");
        EXPECT_FALSE(fs::exists(out));
    }
}

// ---- A full disk, told with its figures (a small file system of its own) ----

class filesDiskFull : public ::testing::Test {
protected:
    void SetUp() override {
        if (mount("kestrun-test", small_.path().c_str(), "tmpfs", 0, "size=8m") != 0) {
            GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
        }
        mounted_ = true;
        fs::create_directories(tools_);
    }
    void TearDown() override {
        if (mounted_) {
            umount2(small_.path().c_str(), MNT_DETACH);
        }
    }
    static uint64_t FreeMb(const std::string& folder) {
        struct statvfs fs {};
        statvfs(folder.c_str(), &fs);
        return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize >> 20;
    }

    TempDir dir_;
    TempDir small_;
    bool mounted_ = false;
    const std::string tools_ = dir_ / "tools";
};

TEST_F(filesDiskFull, DecodingIntoAFullDiskSaysSoWithTheFigures) {
    // It read "Ошибка: 1" alone.
    WriteTool(tools_, "flac.exe", "head -c 20000000 /dev/zero 2>/dev/null > \"$5\" || exit 1");
    const std::string source = dir_ / "talk.flac";
    testwav::WriteText(source, std::string(5 << 20, 'x')); // a FLAC of 5 MB: a WAV of about 10
    const RunResult r = RunCli({"--tool-dir", tools_, "--out-dir", small_.path().string(), source});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kestrun-cli: " + source + ": Ошибка: 1: диск заполнен (свободно " +
                         std::to_string(FreeMb(small_.path())) + " МБ, нужно 11 МБ)\n");
    EXPECT_EQ(Listing(small_.path()), "");
}

TEST_F(filesDiskFull, MonoOnAFullDiskKeepsTheFileAndSaysSo) {
    // 5 MB of stereo in 8 MB: the 2.5 MB mono file does not fit beside it.
    const std::string wav = small_ / "talk.wav";
    const auto bytes = testwav::MakeWav(2, 44100, std::vector<int16_t>(5 << 19, 1234));
    testwav::WriteFile(wav, bytes);
    testwav::WriteText(small_ / "ballast", std::string(1 << 20, 'b'));
    const RunResult r = RunCli({"--mono", wav});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kestrun-cli: " + wav + ": " + MONO_FAILED + ": диск заполнен (свободно " +
                         std::to_string(FreeMb(small_.path())) + " МБ, нужно 3 МБ)\n");
    EXPECT_EQ(testwav::ReadFile(wav), std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(Listing(small_.path()), "ballast talk.wav ");
}

// ---- No debris after a kill ----

TEST(filesReplacement, TheNewVersionHasNoNameUntilCommitted) {
    // The temporary name was where a killed process left its hundreds of megabytes.
    TempDir dir;
    testwav::WriteText(dir / "a.wav", "old");
    FileReplacement replacement;
    ASSERT_TRUE(replacement.Open(dir / "a.wav"));
    ASSERT_TRUE(replacement.Write("new bytes", 9));
    EXPECT_EQ(Listing(dir.path()), "a.wav ");
    ASSERT_TRUE(replacement.Commit());
    EXPECT_EQ(testwav::ReadFile(dir / "a.wav"), "new bytes");
    EXPECT_EQ(Listing(dir.path()), "a.wav ");

    std::string error;
    ASSERT_TRUE(ReplaceFileContents(dir / "b.srt", "cues", &error)) << error;
    ASSERT_TRUE(ReplaceFileContents(dir / "b.srt", "more cues", &error)) << error;
    EXPECT_EQ(testwav::ReadFile(dir / "b.srt"), "more cues");
    EXPECT_EQ(Listing(dir.path()), "a.wav b.srt ");
    EXPECT_FALSE(ReplaceFileContents(dir / "missing/c.srt", "x", &error));
    EXPECT_FALSE(error.empty());
}

// True when the process holds a file of folder open that has no name there: the new
// version being written.
bool WritingUnnamedFile(int pid, const std::string& folder) {
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const std::string target = fs::read_symlink(fd.path(), ec).string();
        if (target.rfind(folder + "/", 0) == 0 && (target.find("(deleted)") != std::string::npos ||
                                                   target.find(".kestrun-") != std::string::npos)) {
            return true;
        }
    }
    return false;
}

TEST(filesKill, KilledMonoLeavesTheOldFileOrTheNewAndNothingElse) {
    // SIGKILL during --mono left a hidden temporary file of up to 314 MB beside the WAV.
    TempDir dir;
    const std::string wav = dir / "long.wav";
    std::vector<int16_t> samples(12 << 20); // 24 MB of stereo noise
    std::mt19937 noise(7);
    for (int16_t& s : samples) {
        s = static_cast<int16_t>(noise());
    }
    const std::vector<uint8_t> stereoBytes = testwav::MakeWav(2, 44100, samples);
    const std::string stereo(stereoBytes.begin(), stereoBytes.end());
    samples = {};
    // The old file is put back as a second link to one copy kept outside the folder:
    // 200 copies of it would make the test a disk benchmark.
    TempDir keep;
    const std::string original = keep / "long.wav";
    testwav::WriteFile(original, stereoBytes);
    auto restore = [&] {
        fs::remove(wav);
        fs::create_hard_link(original, wav);
    };

    // One whole run: the new file, and how long a run takes.
    restore();
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(RunCli({"--mono", wav}).status, 0);
    const auto whole = std::chrono::steady_clock::now() - start;
    const std::string mono = testwav::ReadFile(wav);
    ASSERT_EQ(mono.size(), 44 + (stereo.size() - 44) / 2);

    std::random_device seedSource;
    const unsigned seed = seedSource();
    std::mt19937 rng(seed);
    std::uniform_int_distribution<long long> delay(
        0, std::chrono::duration_cast<std::chrono::microseconds>(whole).count());
    int duringRewrite = 0;
    int keptOld = 0;
    int gotNew = 0;
    start = std::chrono::steady_clock::now();
    for (int kill = 0; kill < 200; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill) + ", seed " + std::to_string(seed));
        restore();
        fs::remove(dir / "long.srt");
        const long long wait = delay(rng);
        RunOptions options;
        options.whileRunning = [&](int pid) {
            std::this_thread::sleep_for(std::chrono::microseconds(wait));
            duringRewrite += WritingUnnamedFile(pid, dir.path().string()) ? 1 : 0;
            ::kill(pid, SIGKILL);
        };
        const RunResult r = RunCli({"--mono", wav}, options);
        const std::string now = testwav::ReadFile(wav);
        if (now.size() == stereo.size()) {
            ASSERT_TRUE(now == stereo) << "the old file was changed";
            ++keptOld;
        } else {
            ASSERT_TRUE(now == mono)
                << "neither the old file nor the new, " << now.size() << " bytes";
            ++gotNew;
        }
        const std::string listing = Listing(dir.path());
        ASSERT_TRUE(listing == "long.wav " || listing == "long.srt long.wav ")
            << listing << "(" << (r.status) << ", " << wait << " us)";
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::cout << "200 kills in " << took.count() << " ms (a whole run "
              << std::chrono::duration_cast<std::chrono::milliseconds>(whole).count()
              << " ms): " << duringRewrite << " during the rewrite, " << keptOld
              << " left the old file, " << gotNew << " the new\n";
    RecordProperty("kills_during_rewrite", duringRewrite);
    EXPECT_GT(duringRewrite, 0) << "no kill landed during a rewrite";
}

// ---- The normaliser's own temporary file ----

TEST(filesAdapters, WavegainStoppedWhileFfmpegRunsLeavesNoTemporaryFile) {
    // sh ran the TERM trap only once ffmpeg had ended, and a killed program's normaliser
    // then left the file ffmpeg wrote behind. This ffmpeg measures at once and then writes
    // for a minute.
    TempDir dir;
    fs::create_directories(dir / "bin");
    WriteTool(dir / "bin", "ffmpeg",
              "for last; do :; done\n"
              "case \"$last\" in\n"
              "-) echo 'track_gain = -3.00 dB' ;;\n"
              "*) printf RIFF > \"${last#file:}\"; exec sleep 60 ;;\n"
              "esac");
    const std::string wav = dir / "talk.wav";
    const auto bytes = testwav::MakeWav(2, 44100, std::vector<int16_t>(44100, 500));
    testwav::WriteFile(wav, bytes);
    bool sawTemporary = false;
    bool stoppedInTime = false;
    RunOptions options;
    options.environment = {{"PATH", dir / "bin" + ":" + std::getenv("PATH")}};
    options.whileRunning = [&](int pid) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!kestrun::test::ProcessHasEnded(pid) &&
               std::chrono::steady_clock::now() < deadline && !sawTemporary) {
            sawTemporary = Listing(dir.path()).find(".kestrun-") != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        kill(pid, SIGTERM);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!kestrun::test::ProcessHasEnded(pid) && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        stoppedInTime = kestrun::test::ProcessHasEnded(pid);
        if (!stoppedInTime) {
            kill(pid, SIGKILL);
        }
    };
    const RunResult r = RunProgram(
        {ToolFolder() + "/wavegain.exe", "-t", "-r", "-g", "0", "-y", "-d", "0", wav}, options);
    ASSERT_TRUE(sawTemporary) << "ffmpeg never started writing: " << r.err;
    EXPECT_TRUE(stoppedInTime) << "SIGTERM waited for ffmpeg";
    EXPECT_EQ(r.status, 143);
    // ffmpeg was stopped as well: nothing writes the file anew after the cleanup.
    EXPECT_EQ(Listing(dir.path()), "bin talk.wav ");
    EXPECT_EQ(testwav::ReadFile(wav), std::string(bytes.begin(), bytes.end()));
}

} // namespace
