// Profile files: look-ups and their defaults, the strict number parse, writes that keep
// every other byte, values that must read back as written, large files, refused writes.
#include "File.h"
#include "Profile.h"
#include "TestWav.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace kestrun;

namespace {

const std::string DEF = "<def>";

class ProfileTest : public ::testing::Test {
protected:
    std::string Get(const std::string& key, const std::string& section = "Options") {
        return ProfileGetString(section, key, DEF, 1 << 30, ini);
    }
    int32_t Int(const std::string& key) { return ProfileGetInt("Options", key, -7, ini); }
    bool Set(const std::string& key, const std::string& value) {
        return ProfileWriteString("Options", key, value, ini);
    }
    void Put(const std::string& text) { testwav::WriteText(ini, text); }
    std::string Text() { return testwav::ReadFile(ini); }

    testwav::TempDir dir;
    std::string ini = dir / "kestrun.ini";
};

TEST_F(ProfileTest, DefaultsForWhatIsNotThere) {
    EXPECT_EQ(Get("Path"), DEF);
    EXPECT_EQ(Int("PosX"), -7);
    EXPECT_EQ(ProfileGetString("Options", "Path", DEF, 9, dir.path().string()), DEF);
    Put("[Other]\nPath=x\n[Options]\nGain=\n");
    EXPECT_EQ(Get("Path"), DEF);
    EXPECT_EQ(Get("Path", "Missing"), DEF);
    EXPECT_EQ(Get("Gain"), "") << "an empty value is a value";
    EXPECT_EQ(Int("Gain"), -7);
}

TEST_F(ProfileTest, LinesAreReadLeniently) {
    const std::pair<std::string, std::string> cases[] = {
        {"[options]\n  KEY \t=  v \t\n", "v"},
        {"\xEF\xBB\xBF[Options]\nKey=v\n", "v"},
        {"Key=before any section\n[Options]\nKey=v\n", "v"},
        {"[Options]\n;Key=c\n  #Key=c\nKey\nKey=v\nKey=second\n", "v"},
        {"[ Options ] ; note\r\nKey=v\r\n", "v"},
        {"[Options]\nKey=\"v\"", "v"},
        {"[Options]\nKey='v'", "v"},
        {"[Options]\nKey=\"v'", "\"v'"},
        {"[Options]\nKey=a=b ;c", "a=b ;c"},
        {std::string("[Options]\nKey=a\0b\n", 18), std::string("a\0b", 3)},
        {"[Options]\n[Other]\nKey=v\n", DEF},
        {"[Options]\nA=1\n[Options]\nKey=v\n", DEF}, // only a name's first section counts
    };
    for (const auto& [text, want] : cases) {
        Put(text);
        EXPECT_EQ(Get("Key"), want) << text;
        EXPECT_EQ(ProfileGetStringInText(text, "Options", "Key", DEF, 1 << 30), want) << text;
    }
}

TEST_F(ProfileTest, IntegersAreStrictDecimals) {
    // clang-format off
    const std::pair<std::string, int32_t> cases[] = {
        {"-40", -40}, {" 12 ", 12}, {"+5", 5}, {"007", 7}, {"\"-3\"", -3},
        {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN}, {"2147483648", -7},
        {"-2147483649", -7}, {"99999999999999999999", -7}, {"12abc", -7}, {"0x10", -7},
        {"1e3", -7}, {"--1", -7}, {"+", -7}, {"+-1", -7}, {"-", -7}, {"1 2", -7}};
    // clang-format on
    for (const auto& [value, want] : cases) {
        Put("[Options]\nN=" + value + "\n");
        EXPECT_EQ(Int("N"), want) << value;
    }
}

TEST_F(ProfileTest, StringsAreCutToMaxBytes) {
    Put("[Options]\nPath=Привет\n");
    EXPECT_EQ(ProfileGetString("Options", "Path", DEF, 4, ini), "Пр");
    EXPECT_EQ(ProfileGetString("Options", "Path", DEF, 0, ini), "");
    EXPECT_EQ(ProfileGetString("Options", "Path", DEF, 99, ini), "Привет");
    EXPECT_EQ(ProfileGetString("Options", "None", "long default", 2, ini), "long default");
}

TEST_F(ProfileTest, WritesKeepEveryOtherLine) {
    // {before, key set to "v", after}; "-" is no file at all.
    const std::string cases[][3] = {
        {"-", "K", "[Options]\nK=v\n"},
        {"; top\n[Other]\na=1\n", "K", "; top\n[Other]\na=1\n[Options]\nK=v\n"},
        {"[Other]\na=1", "K", "[Other]\na=1\n[Options]\nK=v\n"},
        {"[Options]\n", "K", "[Options]\nK=v\n"},
        {"[Options]\na=1\n\n[Other]\nb=2\n", "K", "[Options]\na=1\nK=v\n\n[Other]\nb=2\n"},
        {"[Options]\na=1\n;c\n\n", "K", "[Options]\na=1\nK=v\n;c\n\n"},
        {"[Options]\na=1", "K", "[Options]\na=1\nK=v\n"},
        {"[Options]\na=1", "A", "[Options]\nA=v"},
        {"x\n[Options]\n;c\nb\n a = 1 ;z\na=2\nc=3\n", "a", "x\n[Options]\n;c\nb\na=v\na=2\nc=3\n"},
        {"[Options]\r\na=1\r\n", "a", "[Options]\r\na=v\r\n"},
        {"[Options]\r\na=1\r\n\r\n", "K", "[Options]\r\na=1\r\nK=v\r\n\r\n"},
        {"[Options]\na=1\n[Options]\nK=2\n", "K", "[Options]\na=1\nK=v\n[Options]\nK=2\n"},
    };
    for (const auto& [before, key, after] : cases) {
        DeleteFileIfAny(ini);
        if (before != "-") {
            Put(before);
        }
        EXPECT_TRUE(Set(key, "v"));
        EXPECT_EQ(Text(), after) << before;
        // The same write on the text in memory: a missing file is an empty one there.
        std::string inText;
        EXPECT_TRUE(
            ProfileWriteStringInText(before == "-" ? "" : before, "Options", key, "v", &inText));
        EXPECT_EQ(inText, after) << before;
    }
}

TEST_F(ProfileTest, ALastLineEndingInACarriageReturnKeepsItsValue) {
    // A write after a last line "a=1\r" (no '\n') appended "\r\n", and a's value read
    // back as "1\r".
    Put("[Options]\r\nK=0\r\n[Other]\r\na=1\r");
    EXPECT_TRUE(Set("New", "v"));
    EXPECT_EQ(Text(), "[Options]\r\nK=0\r\nNew=v\r\n[Other]\r\na=1\r");
    EXPECT_TRUE(ProfileWriteString("Third", "b", "2", ini));
    EXPECT_EQ(Text(), "[Options]\r\nK=0\r\nNew=v\r\n[Other]\r\na=1\r\n[Third]\r\nb=2\r\n");
    EXPECT_EQ(Get("a", "Other"), "1");
    Put("[Options]\nK=0\r");
    EXPECT_TRUE(Set("New", "v"));
    EXPECT_EQ(Text(), "[Options]\nK=0\r\nNew=v\n");
    EXPECT_EQ(Get("K"), "0");
}

TEST_F(ProfileTest, WrittenValuesReadBackAsWritten) {
    const std::string values[] = {"",
                                  " lead",
                                  "trail ",
                                  "\tboth\t",
                                  "\"q\"",
                                  "'q'",
                                  "\"",
                                  "\"\"",
                                  "\"mixed'",
                                  "a=b",
                                  "x ;y #z",
                                  "Привет, мир",
                                  std::string(259, 'x'),
                                  std::string("a\0b", 3),
                                  "[Other]"};
    Put("[Other]\nV=other\n");
    for (const auto& value : values) {
        EXPECT_TRUE(Set("V", value));
        EXPECT_EQ(Get("V"), value) << Text();
    }
    EXPECT_EQ(Get("V", "Other"), "other");
    // A value cannot hold a line break; what follows one must not become a line.
    EXPECT_TRUE(Set("V", "one\r\n[Evil]\nX=1"));
    EXPECT_EQ(Text(), "[Other]\nV=other\n[Options]\nV=one\n");
}

TEST_F(ProfileTest, KeysStayInTheOrderWritten) {
    const char* keys[] = {"MINTRAY", "Mono",   "tr1",  "tr2",  "prflt2",   "PosX",      "PosY",
                          "Path",    "Hidden", "Norm", "Gain", "ShowHint", "UseSrcPath"};
    std::string want = "[Options]\n";
    for (const char* key : keys) {
        ASSERT_TRUE(Set(key, "first"));
        want += std::string(key) + "=" + key + "-value\n";
    }
    for (const char* key : keys) {
        ASSERT_TRUE(Set(key, std::string(key) + "-value"));
    }
    EXPECT_EQ(Text(), want);
}

TEST_F(ProfileTest, LongLinesAndLargeFiles) {
    // Lines were read into fixed-size buffers: a long one overflowed them or was cut.
    const std::string mb(1 << 20, 'b');
    Put("[Options]\n;" + mb + "\nBig=" + mb + "\nK=v\n");
    EXPECT_EQ(Get("Big"), mb);
    EXPECT_TRUE(Set("K", "w"));
    EXPECT_EQ(Text(), "[Options]\n;" + mb + "\nBig=" + mb + "\nK=w\n");

    std::string big = "[Filler]\n";
    while (big.size() < (20u << 20)) {
        big += "key" + std::to_string(big.size()) + "=some filler text\n";
    }
    Put(big + "[Options]\nK=1\n");
    EXPECT_EQ(Int("K"), 1);
    EXPECT_TRUE(Set("K", "2"));
    EXPECT_EQ(Text(), big + "[Options]\nK=2\n");
}

TEST_F(ProfileTest, RefusedWritesLeaveTheOldFile) {
    EXPECT_FALSE(ProfileWriteString("Options", "K", "v", dir.path().string()));
    EXPECT_TRUE(IsFolder(dir.path().string()));
    EXPECT_FALSE(ProfileWriteString("Options", "a=b", "v", ini));
    EXPECT_FALSE(ProfileWriteString("Options", "\nK", "v", ini));
    EXPECT_FALSE(ProfileWriteString("Op]tions", "K", "v", ini));
    EXPECT_FALSE(ProfileWriteString("", "K", "v", ini));
    EXPECT_FALSE(std::filesystem::exists(ini));
    std::string untouched = "x";
    EXPECT_FALSE(ProfileWriteStringInText("[Options]\n", "Options", "a=b", "v", &untouched));
    EXPECT_EQ(ProfileGetStringInText("[Options]\na=b\n", "Options", "a=b", DEF, 9), DEF);
    EXPECT_EQ(untouched, "x");

    // A file that could not be read was rewritten from nothing, losing all its lines.
    // Run as a user without the rights: root would be allowed everything.
    const std::string writeOnly = dir / "write-only.ini";
    Put("[Options]\nK=old\n");
    testwav::WriteText(writeOnly, "[Options]\nK=old\n");
    ASSERT_EQ(::chmod(ini.c_str(), 0666) | ::chmod(writeOnly.c_str(), 0222) |
                  ::chmod(dir.path().c_str(), 0555),
              0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(100);
        }
        const int faults = (ProfileWriteString("Options", "K", "new", ini) ? 1 : 0) |
                           (ProfileGetString("Options", "K", DEF, 9, writeOnly) != DEF ? 2 : 0) |
                           (ProfileWriteString("Options", "K", "new", writeOnly) ? 4 : 0);
        ::_exit(faults);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod(dir.path().c_str(), 0755);
    ::chmod(writeOnly.c_str(), 0644);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: wrote into a read-only folder, 2: read an "
                                         "unreadable file, 4: rewrote an unreadable file";
    EXPECT_EQ(Text(), "[Options]\nK=old\n");
    EXPECT_EQ(testwav::ReadFile(writeOnly), "[Options]\nK=old\n");
}

} // namespace
