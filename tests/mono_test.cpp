// Stereo-to-mono conversion, and the file helpers under it: the mix, the rewritten header,
// which files are left alone, and that a failure never leaves a changed or stray file.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>

#include "File.h"
#include "Mono.h"
#include "TestWav.h"
#include "VadEngine.h"
#include "WavHeader.h"

using kestrun::ConvertToMono;
using testwav::MakeWav;
using testwav::Put16;
using testwav::Put32;
using testwav::ReadFile;
using testwav::TempDir;
using testwav::WriteFile;
namespace fs = std::filesystem;

namespace {

kestrun::WavHeader HeaderOf(const std::string& bytes) {
    return kestrun::ParseWavHeader(
        std::span<const uint8_t, 44>(reinterpret_cast<const uint8_t*>(bytes.data()), 44));
}

std::vector<int16_t> MonoSamples(const std::string& bytes) {
    std::vector<int16_t> out;
    for (std::size_t i = 44; i + 1 < bytes.size(); i += 2) {
        out.push_back(int16_t(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8)));
    }
    return out;
}

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Runs check in a forked child (as uid/gid 65534 when asUser and we are root, or with the
// file size limit set when fileLimit is non-zero); true when check returned true there.
bool InChild(const std::function<bool()>& check, bool asUser, rlim_t fileLimit = 0) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (asUser && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(2);
        }
        if (fileLimit != 0) {
            std::signal(SIGXFSZ, SIG_IGN); // a write past the limit then fails with EFBIG
            const rlimit limit{fileLimit, fileLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

std::vector<uint8_t> Stereo(std::size_t frames) {
    std::vector<int16_t> samples(2 * frames);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = int16_t(i * 7919);
    }
    return MakeWav(2, 44100, samples);
}

} // namespace

TEST(ConvertToMono, MixesEachPairTowardZero) {
    struct Pair {
        int16_t left, right, mono;
    };
    const Pair pairs[] = {
        {1000, 3001, 2000},       {-1000, -3001, -2000}, {-1, 0, 0}, {32767, 32767, 32767},
        {-32768, -32768, -32768}, {-32768, 32767, 0},    {3, 0, 1},  {-3, 0, -1},
        {0x1234, 0x5678, 0x3456}};
    std::vector<int16_t> interleaved;
    for (const Pair& p : pairs) {
        interleaved.insert(interleaved.end(), {p.left, p.right});
    }
    TempDir dir;
    WriteFile(dir / "a.wav", MakeWav(2, 44100, interleaved));
    ASSERT_TRUE(ConvertToMono(dir / "a.wav"));
    const std::vector<int16_t> mono = MonoSamples(ReadFile(dir / "a.wav"));
    ASSERT_EQ(mono.size(), std::size(pairs));
    for (std::size_t i = 0; i < mono.size(); ++i) {
        EXPECT_EQ(mono[i], pairs[i].mono) << pairs[i].left << " + " << pairs[i].right;
    }
}

TEST(ConvertToMono, HalvesTheFrameFieldsAndKeepsTheRestAsRead) {
    std::vector<uint8_t> wav = Stereo(100);
    wav[15] = 'X';     // the byte after "fmt" is not checked, so it must survive as read
    Put16(wav, 34, 8); // nor is the sample width: data are 16-bit whatever it says
    TempDir dir;
    WriteFile(dir / "a.wav", wav);
    ASSERT_TRUE(ConvertToMono(dir / "a.wav"));
    // 44100 Hz stereo: 176400 bytes a second in 4-byte frames become 88200 in 2-byte ones.
    std::vector<uint8_t> expected(wav.begin(), wav.begin() + 44);
    Put32(expected, 4, 236); // riffSize
    Put16(expected, 22, 1);
    Put32(expected, 28, 88200);
    Put16(expected, 32, 2);
    Put32(expected, 40, 200); // dataSize
    const std::string out = ReadFile(dir / "a.wav");
    EXPECT_EQ(out.size(), 44u + 200u);
    EXPECT_EQ(out.substr(0, 44), std::string(expected.begin(), expected.end()));
}

TEST(ConvertToMono, LeavesFilesItMustNotConvertByteForByte) {
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> change;
        bool result;
    };
    const Case cases[] = {
        {"mono", [](auto& b) { b = MakeWav(1, 8000, std::vector<int16_t>(4, 9)); }, true},
        {"no channels", [](auto& b) { Put16(b, 22, 0); }, true},
        {"three channels", [](auto& b) { Put16(b, 22, 3); }, false},
        {"four channels", [](auto& b) { Put16(b, 22, 4); }, false},
        {"riff size off by one", [](auto& b) { Put32(b, 4, uint32_t(b.size() - 7)); }, false},
        {"another chunk before the data", [](auto& b) { std::copy_n("LIST", 4, &b[36]); }, false},
        {"not PCM", [](auto& b) { Put16(b, 20, 3); }, false},
        {"sample rate 0", [](auto& b) { Put32(b, 24, 0); }, false},
        {"data size past the end", [](auto& b) { Put32(b, 40, uint32_t(b.size() - 43)); }, false},
        {"header only", [](auto& b) { b = MakeWav(2, 8000, {}); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> wav = Stereo(50);
        c.change(wav);
        TempDir dir;
        WriteFile(dir / "a.wav", wav);
        EXPECT_EQ(ConvertToMono(dir / "a.wav"), c.result);
        EXPECT_EQ(ReadFile(dir / "a.wav"), std::string(wav.begin(), wav.end()));
        EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"a.wav"});
    }
    TempDir dir;
    EXPECT_FALSE(ConvertToMono(dir / "missing.wav"));
    EXPECT_FALSE(ConvertToMono(dir.path().string()));
}

TEST(ConvertToMono, EndsRightAfterTheMonoData) {
    // A chunk after the data is dropped: the file ends where the new data end.
    std::vector<uint8_t> wav = Stereo(10);
    wav.insert(wav.end(), {'L', 'I', 'S', 'T', 4, 0, 0, 0, 'a', 'b', 'c', 'd'});
    testwav::FixRiffSize(wav);
    TempDir dir;
    WriteFile(dir / "a.wav", wav);
    ASSERT_TRUE(ConvertToMono(dir / "a.wav"));
    EXPECT_EQ(ReadFile(dir / "a.wav").size(), 44u + 20u);

    // A data size of 4n + 2 or 4n + 3 leaves one mono byte no sample fills: it is 0, not a
    // copy of the stray stereo bytes.
    for (const uint32_t dataSize : {8u, 9u, 10u, 11u}) {
        SCOPED_TRACE(dataSize);
        std::vector<uint8_t> odd = MakeWav(2, 8000, {100, 300, -100, -300});
        odd.resize(44 + dataSize, 0x7f);
        Put32(odd, 40, dataSize);
        testwav::FixRiffSize(odd);
        WriteFile(dir / "b.wav", odd);
        ASSERT_TRUE(ConvertToMono(dir / "b.wav"));
        const std::string out = ReadFile(dir / "b.wav");
        ASSERT_EQ(out.size(), 44u + dataSize / 2);
        EXPECT_EQ(HeaderOf(out).dataSize, dataSize / 2);
        EXPECT_EQ(out.substr(44, 4), std::string("\xc8\x00\x38\xff", 4));
        if (dataSize / 2 == 5) {
            EXPECT_EQ(out[48], '\0');
        }
    }
}

TEST(ConvertToMono, ItsStepsOnAnOpenFileGiveWhatTheFileGets) {
    // The steps a caller without a file to replace uses: the same decision and the same
    // bytes, and a write that fails part way is a failure.
    std::vector<uint8_t> trailing = Stereo(70'000); // past one read chunk
    trailing.insert(trailing.end(), {'L', 'I', 'S', 'T', 2, 0, 0, 0, 'a', 'b'});
    testwav::FixRiffSize(trailing);
    std::vector<uint8_t> odd = Stereo(3);
    Put32(odd, 40, 11);
    odd.resize(44 + 11);
    testwav::FixRiffSize(odd);
    std::vector<uint8_t> refused = Stereo(3);
    Put16(refused, 20, 3);
    const std::pair<std::vector<uint8_t>, kestrun::MonoPlan> cases[] = {
        {trailing, kestrun::MonoPlan::Mix},
        {odd, kestrun::MonoPlan::Mix},
        {MakeWav(1, 8000, std::vector<int16_t>(4, 9)), kestrun::MonoPlan::Keep},
        {refused, kestrun::MonoPlan::Refuse},
    };
    TempDir dir;
    for (const auto& [wav, plan] : cases) {
        WriteFile(dir / "in.wav", wav);
        WriteFile(dir / "a.wav", wav);
        const int fd = ::open((dir / "in.wav").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        kestrun::WavHeader header{};
        EXPECT_EQ(kestrun::PlanMono(fd, wav.size(), &header), plan);
        EXPECT_EQ(ConvertToMono(dir / "a.wav"), plan != kestrun::MonoPlan::Refuse);
        if (plan == kestrun::MonoPlan::Mix) {
            std::string bytes;
            ASSERT_TRUE(kestrun::MixToMono(fd, header, [&](const void* data, std::size_t n) {
                bytes.append(static_cast<const char*>(data), n);
                return true;
            }));
            EXPECT_EQ(bytes, ReadFile(dir / "a.wav"));
            ASSERT_EQ(::lseek(fd, 44, SEEK_SET), 44);
            int calls = 0;
            EXPECT_FALSE(kestrun::MixToMono(fd, header,
                                            [&](const void*, std::size_t) { return ++calls < 2; }));
            EXPECT_EQ(calls, 2) << "no write after the one that failed";
        }
        ::close(fd);
    }
}

TEST(ConvertToMono, LongFileCrossesReadChunksAndLoadsAsMono) {
    constexpr uint32_t DATA_BYTES = 40'000'000; // three full read chunks and a partial one
    std::vector<uint8_t> wav = MakeWav(2, 44100, {});
    wav.resize(44 + DATA_BYTES);
    Put32(wav, 40, DATA_BYTES);
    testwav::FixRiffSize(wav);
    std::string expected(44 + DATA_BYTES / 2, '\0');
    for (uint32_t frame = 0; frame < DATA_BYTES / 4; ++frame) {
        const uint32_t x = frame * 2654435761u;
        const int16_t left = int16_t(x >> 16), right = int16_t(x);
        Put16(wav, 44 + 4 * std::size_t(frame), uint16_t(left));
        Put16(wav, 46 + 4 * std::size_t(frame), uint16_t(right));
        const int16_t mono = int16_t((int(left) + int(right)) / 2);
        expected[44 + 2 * std::size_t(frame)] = char(mono & 0xff);
        expected[45 + 2 * std::size_t(frame)] = char((mono >> 8) & 0xff);
    }
    TempDir dir;
    WriteFile(dir / "long.wav", wav);
    ASSERT_TRUE(ConvertToMono(dir / "long.wav"));
    const std::string out = ReadFile(dir / "long.wav");
    ASSERT_EQ(out.size(), 20'000'044u);
    EXPECT_EQ(HeaderOf(out).riffSize, 20'000'036u);
    const auto diff = std::mismatch(out.begin() + 44, out.end(), expected.begin() + 44);
    EXPECT_TRUE(diff.first == out.end()) << "first difference at byte " << diff.first - out.begin();

    kestrun::CVadEngine engine;
    ASSERT_TRUE(engine.LoadWav(dir / "long.wav"));
    EXPECT_EQ(engine.header().nChannels, 1);
    EXPECT_EQ(engine.sampleCount(), 10'000'000u);
}

TEST(ConvertToMono, RewritesALinksTargetWithItsPermissionsAndOwner) {
    TempDir dir;
    fs::create_directories(dir.path() / "data");
    fs::create_directories(dir.path() / "links");
    WriteFile(dir / "data/real.wav", Stereo(10));
    fs::create_symlink("../data/real.wav", dir.path() / "links/song.wav");
    ASSERT_EQ(chmod((dir / "data/real.wav").c_str(), 0640), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown((dir / "data/real.wav").c_str(), 65534, 65534), 0);
    }

    ASSERT_TRUE(ConvertToMono(dir / "links/song.wav"));
    EXPECT_TRUE(fs::is_symlink(dir.path() / "links/song.wav"));
    EXPECT_EQ(fs::read_symlink(dir.path() / "links/song.wav"), "../data/real.wav");
    EXPECT_EQ(HeaderOf(ReadFile(dir / "data/real.wav")).nChannels, 1);
    EXPECT_EQ(Names(dir.path() / "data"), std::vector<std::string>{"real.wav"});
    EXPECT_EQ(Names(dir.path() / "links"), std::vector<std::string>{"song.wav"});
    struct stat st {};
    ASSERT_EQ(stat((dir / "data/real.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
}

TEST(ConvertToMono, FailsUntouchedWhenTheFileOrItsFolderIsNotWritable) {
    struct Case {
        const char* what;
        mode_t fileMode, folderMode;
        std::vector<uint8_t> wav;
    };
    // A read-only file in an open folder is the case a rename alone would let through; a
    // mono one fails too, as the open for writing it stands for would.
    const Case cases[] = {{"read-only file", 0444, 0777, Stereo(10)},
                          {"read-only mono file", 0444, 0777, MakeWav(1, 8000, {1, 2})},
                          {"read-only folder", 0666, 0555, Stereo(10)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        WriteFile(dir / "a.wav", c.wav);
        ASSERT_EQ(chmod((dir / "a.wav").c_str(), c.fileMode), 0);
        ASSERT_EQ(chmod(dir.path().c_str(), c.folderMode), 0);
        EXPECT_TRUE(InChild([&] { return !ConvertToMono(dir / "a.wav"); }, true));
        EXPECT_TRUE(InChild([&] { return !kestrun::FileReplacement().Open(dir / "a.wav"); }, true));
        chmod(dir.path().c_str(), 0755);
        EXPECT_EQ(ReadFile(dir / "a.wav"), std::string(c.wav.begin(), c.wav.end()));
        EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"a.wav"});
    }
}

TEST(ConvertToMono, DiskFullLeavesTheOriginalAndNoTemporaryFile) {
    TempDir dir;
    const std::vector<uint8_t> wav = Stereo(2000); // mono result: 44 + 4000 bytes
    WriteFile(dir / "a.wav", wav);
    EXPECT_TRUE(InChild([&] { return !ConvertToMono(dir / "a.wav"); }, false, 1000));
    EXPECT_EQ(ReadFile(dir / "a.wav"), std::string(wav.begin(), wav.end()));
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"a.wav"});
}

TEST(FileHelpers, CopyFileReplacingLeavesNoPartialCopy) {
    TempDir dir;
    const std::string big(5000, 'b');
    testwav::WriteText(dir / "src", big);
    ASSERT_TRUE(kestrun::CopyFileReplacing(dir / "src", dir / "new"));
    EXPECT_EQ(ReadFile(dir / "new"), big);
    testwav::WriteText(dir / "old", "old bytes");
    ASSERT_EQ(chmod((dir / "old").c_str(), 0604), 0);
    ASSERT_TRUE(kestrun::CopyFileReplacing(dir / "src", dir / "old"));
    EXPECT_EQ(ReadFile(dir / "old"), big);
    EXPECT_EQ(fs::status(dir.path() / "old").permissions(), fs::perms(0604));

    testwav::WriteText(dir / "old", "old bytes");
    EXPECT_FALSE(kestrun::CopyFileReplacing(dir / "missing", dir / "old"));
    EXPECT_FALSE(kestrun::CopyFileReplacing(dir / "missing", dir / "none"));
    // Out of space part way, to a new name and over an existing file.
    EXPECT_TRUE(InChild([&] { return !kestrun::CopyFileReplacing(dir / "src", dir / "none"); },
                        false, 1000));
    EXPECT_TRUE(InChild([&] { return !kestrun::CopyFileReplacing(dir / "src", dir / "old"); },
                        false, 1000));
    EXPECT_EQ(ReadFile(dir / "old"), "old bytes");
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"new", "old", "src"}));
}

TEST(FileHelpers, SizesFoldersDeletionAndNewFiles) {
    TempDir dir;
    // Only the size's lower 32 bits count: 4 GiB + 5 bytes (sparse) reads as 5.
    testwav::WriteText(dir / "big", "");
    fs::resize_file(dir.path() / "big", (uint64_t(1) << 32) + 5);
    uint32_t size = 0;
    EXPECT_TRUE(kestrun::FileSize32(dir / "big", &size));
    EXPECT_EQ(size, 5u);
    const int big = open((dir / "big").c_str(), O_RDONLY);
    EXPECT_TRUE(kestrun::DescriptorSize32(big, &size));
    EXPECT_EQ(size, 5u);
    kestrun::CloseFile(big);
    EXPECT_FALSE(kestrun::FileSize32(dir / "missing", &size));
    EXPECT_FALSE(kestrun::FileSize32(dir.path().string(), &size));

    fs::create_directory_symlink(dir.path(), dir.path() / "link");
    EXPECT_TRUE(kestrun::IsFolder(dir / "link"));
    EXPECT_FALSE(kestrun::IsFolder(dir / "big"));
    EXPECT_TRUE(kestrun::DeleteFileIfAny(dir / "big"));
    EXPECT_FALSE(fs::exists(dir.path() / "big"));
    EXPECT_TRUE(kestrun::DeleteFileIfAny(dir / "big"));

    testwav::WriteText(dir / "f", "longer old content");
    const int fd = kestrun::CreateFileForWriting(dir / "f");
    ASSERT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0); // a started tool must not inherit it
    EXPECT_TRUE(kestrun::WriteAll(fd, "new", 3));
    // A header patched in afterwards must not move where the data go on.
    EXPECT_TRUE(kestrun::WriteAllAt(fd, 0, "N", 1));
    EXPECT_TRUE(kestrun::WriteAll(fd, "!", 1));
    kestrun::CloseFile(fd);
    EXPECT_EQ(ReadFile(dir / "f"), "New!");
    const int appending = open((dir / "f").c_str(), O_WRONLY | O_APPEND);
    EXPECT_FALSE(kestrun::WriteAllAt(appending, 0, "x", 1));
    kestrun::CloseFile(appending);
}
