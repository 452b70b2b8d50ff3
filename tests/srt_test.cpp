// SRT text and the file write: exact bytes, and nothing lost when a write fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <tuple>

#include <csignal>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "PlainReference.h"
#include "Srt.h"
#include "TestWav.h"
#include "VadEngine.h"

using kestrun::FormatTime;
using kestrun::FormatTimeRange;

TEST(Srt, FormatTime) {
    EXPECT_EQ(FormatTime(0), "00:00:00,000");
    EXPECT_EQ(FormatTime(10000), "00:00:10,000");
    EXPECT_EQ(FormatTime(59999), "00:00:59,999");
    EXPECT_EQ(FormatTime(60000), "00:01:00,000");
    EXPECT_EQ(FormatTime(3600000), "01:00:00,000");
    EXPECT_EQ(FormatTime(360000000), "100:00:00,000");
    EXPECT_EQ(FormatTime(-35), "00:00:00,035");
    EXPECT_EQ(FormatTime(std::numeric_limits<int32_t>::max()), "596:31:23,647");
    // The magnitude of INT32_MIN does not fit: it stays negative, as 32-bit negation does.
    EXPECT_EQ(FormatTime(std::numeric_limits<int32_t>::min()),
              plain::FormatTime(std::numeric_limits<int32_t>::min()));
    EXPECT_EQ(FormatTimeRange(3600000, 3601500), "01:00:00,000 --> 01:00:01,500\r\n");
}

TEST(Srt, ExactBytes) {
    const std::vector<kestrun::Segment> one = {{0, 415}};
    const std::string text = kestrun::BuildSrt(one);
    EXPECT_EQ(text, "1\r\n00:00:00,000 --> 00:00:00,415\r\n1\r\n\r\n");
    EXPECT_EQ(text.size(), 39u);

    const std::vector<kestrun::Segment> two = {{1500, 3250}, {4000, 61005}};
    EXPECT_EQ(kestrun::BuildSrt(two), "1\r\n00:00:01,500 --> 00:00:03,250\r\n1\r\n\r\n"
                                      "2\r\n00:00:04,000 --> 00:01:01,005\r\n2\r\n\r\n");
    EXPECT_EQ(kestrun::BuildSrt({}), "");
}

TEST(CueFormats, ExactBytesOfEachFormat) {
    const std::vector<kestrun::Segment> cues = {{0, 415}, {59999, 61000}, {3723456, 3725007}};
    using kestrun::BuildCues;
    using kestrun::CueFormat;
    EXPECT_EQ(BuildCues(CueFormat::Srt, cues), kestrun::BuildSrt(cues));
    EXPECT_EQ(BuildCues(CueFormat::WebVtt, cues), "WEBVTT\n"
                                                  "\n"
                                                  "1\n"
                                                  "00:00:00.000 --> 00:00:00.415\n"
                                                  "1\n"
                                                  "\n"
                                                  "2\n"
                                                  "00:00:59.999 --> 00:01:01.000\n"
                                                  "2\n"
                                                  "\n"
                                                  "3\n"
                                                  "01:02:03.456 --> 01:02:05.007\n"
                                                  "3\n"
                                                  "\n");
    EXPECT_EQ(BuildCues(CueFormat::Labels, cues), "0.000000\t0.415000\t1\n"
                                                  "59.999000\t61.000000\t2\n"
                                                  "3723.456000\t3725.007000\t3\n");
    EXPECT_EQ(BuildCues(CueFormat::Csv, cues), "start,end\n"
                                               "0.000,0.415\n"
                                               "59.999,61.000\n"
                                               "3723.456,3725.007\n");
    // No cues: each format's empty file.
    EXPECT_EQ(BuildCues(CueFormat::WebVtt, {}), "WEBVTT\n\n");
    EXPECT_EQ(BuildCues(CueFormat::Labels, {}), "");
    EXPECT_EQ(BuildCues(CueFormat::Csv, {}), "start,end\n");
    // The extremes of a time, in seconds without overflow.
    const std::vector<kestrun::Segment> extremes = {{INT32_MIN, INT32_MAX}};
    EXPECT_EQ(BuildCues(CueFormat::Csv, extremes), "start,end\n-2147483.648,2147483.647\n");

    for (const auto& [name, format, extension] :
         {std::tuple{"srt", CueFormat::Srt, ".srt"}, std::tuple{"vtt", CueFormat::WebVtt, ".vtt"},
          std::tuple{"labels", CueFormat::Labels, ".txt"},
          std::tuple{"csv", CueFormat::Csv, ".csv"}}) {
        CueFormat parsed = CueFormat::Srt;
        EXPECT_TRUE(kestrun::ParseCueFormat(name, &parsed));
        EXPECT_EQ(parsed, format);
        EXPECT_EQ(kestrun::CueFormatName(format), name);
        EXPECT_EQ(kestrun::CueFormatExtension(format), extension);
    }
    CueFormat untouched = CueFormat::Csv;
    EXPECT_FALSE(kestrun::ParseCueFormat("SRT", &untouched));
    EXPECT_FALSE(kestrun::ParseCueFormat("", &untouched));
    EXPECT_EQ(untouched, CueFormat::Csv);
}

TEST(Srt, FailedWriteLeavesTheOldFileAndNoLitter) {
    // The SRT used to be truncated first and written without checks: a failed write lost
    // the previous file and still reported its cue count.
    testwav::TempDir dir;
    const std::string path = dir / "talk.srt";
    testwav::WriteText(path, "old");
    std::string error;

    // The target is a folder: the rename fails after the temporary file was written.
    std::filesystem::create_directory(dir / "folder.srt");
    EXPECT_FALSE(kestrun::WriteFileReplacing(dir / "folder.srt", "new", &error));
    EXPECT_FALSE(error.empty());

    // A missing folder: nothing can be created.
    error.clear();
    EXPECT_FALSE(kestrun::WriteFileReplacing(dir / "missing/talk.srt", "new", &error));
    EXPECT_FALSE(error.empty());

#ifndef _WIN32
    // A disk that fills up part-way: a file size limit makes the write itself fail.
    {
        struct rlimit old {};
        getrlimit(RLIMIT_FSIZE, &old);
        struct rlimit tiny = old;
        tiny.rlim_cur = 10;
        void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &tiny);
        error.clear();
        const bool written = kestrun::WriteFileReplacing(path, std::string(100, 'x'), &error);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        EXPECT_FALSE(written);
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(testwav::ReadFile(path), "old");
    }
#endif

    EXPECT_TRUE(kestrun::WriteFileReplacing(path, "new", &error));
    EXPECT_EQ(testwav::ReadFile(path), "new");
    // The longest name a folder takes: the temporary file must not need a longer one.
    const std::string longest = dir / (std::string(251, 'n') + ".srt");
    EXPECT_TRUE(kestrun::WriteFileReplacing(longest, "long", &error)) << error;
    EXPECT_EQ(testwav::ReadFile(longest), "long");
    std::filesystem::remove(longest);
    EXPECT_TRUE(kestrun::WriteFileReplacing(path, "", &error));
    EXPECT_EQ(testwav::ReadFile(path), "");

    // No temporary file stays behind on any path.
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 2) << "talk.srt and folder.srt only";
}

TEST(Srt, EngineReportsAFailedWriteAsFailure) {
    testwav::TempDir dir;
    std::vector<int16_t> s(8000, 0);
    for (int i = 2000; i < 4000; ++i) {
        s[std::size_t(i)] = int16_t(i % 2 ? 9000 : -9000);
    }
    testwav::WriteFile(dir / "a.wav", testwav::MakeWav(1, 8000, s));
    kestrun::CVadEngine engine;
    ASSERT_TRUE(engine.LoadWav(dir / "a.wav"));
    const auto ok = engine.RunEnergyBased(0.045, dir / "a.srt");
    ASSERT_TRUE(ok.written);
    EXPECT_EQ(ok.cues, 1u);
    const std::string before = testwav::ReadFile(dir / "a.srt");

    const auto failed = engine.RunEnergyBased(0.045, dir / "nowhere/a.srt");
    EXPECT_FALSE(failed.written);
    EXPECT_EQ(failed.cues, 0u);
    EXPECT_FALSE(failed.error.empty());
    EXPECT_TRUE(engine.segments().empty()) << "the list is cleared on every path";
    EXPECT_EQ(testwav::ReadFile(dir / "a.srt"), before);
}
