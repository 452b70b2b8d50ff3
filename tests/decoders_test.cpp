// The decoder adapters beside kestrun-cli, with the real decoders behind them: speech
// encoded here into every type the worker hands to a decoder comes back through kestrun-cli
// with the cues of the original, by ffmpeg or, without it, by the type's own decoder; a file
// of a type the worker does not know is taken only when ffmpeg finds sound in it; and an
// adapter that cannot do its job says why, fails and leaves nothing behind.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CliRunner.h"
#include "FakeTool.h"
#include "TestWav.h"

namespace {

namespace fs = std::filesystem;
using kestrun::test::RunCli;
using kestrun::test::RunOptions;
using kestrun::test::RunProgram;
using kestrun::test::RunResult;
using testwav::ReadFile;

// Characters a shell would act on if an adapter let a path go unquoted.
const std::string ODD_NAME = "it's [a] $x";
const std::string FF = "ffmpeg -nostdin -loglevel error -y ";

// TEXT split at spaces, each word found in NAMED replaced.
std::vector<std::string> Words(const std::string& text,
                               const std::map<std::string, std::string>& named) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) {
        words.push_back(named.count(w) != 0 ? named.at(w) : w);
    }
    return words;
}

using Names = std::set<std::string>;

Names Listing(const fs::path& folder) {
    Names names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// Start and end of each cue, in ms.
std::vector<std::pair<int, int>> Cues(const std::string& srt) {
    std::vector<std::pair<int, int>> cues;
    int h, m, s, ms, h2, m2, s2, ms2;
    for (std::size_t at = srt.find(" --> "); at != std::string::npos && at >= 12;
         at = srt.find(" --> ", at + 1)) {
        if (std::sscanf(srt.c_str() + at - 12, "%d:%d:%d,%d --> %d:%d:%d,%d", &h, &m, &s, &ms, &h2,
                        &m2, &s2, &ms2) == 8) {
            cues.emplace_back(((h * 60 + m) * 60 + s) * 1000 + ms,
                              ((h2 * 60 + m2) * 60 + s2) * 1000 + ms2);
        }
    }
    return cues;
}

// Empty when every reference cue has a decoded cue starting and ending within 100 ms of
// it, and no decoded cue lies in a pause.
std::string CompareCues(const std::string& referenceSrt, const std::string& decodedSrt) {
    const auto reference = Cues(referenceSrt);
    const auto decoded = Cues(decodedSrt);
    auto overlap = [](auto a, auto b) { return a.first < b.second && b.first < a.second; };
    for (const auto& r : reference) {
        if (std::none_of(decoded.begin(), decoded.end(), [&](auto d) {
                return std::abs(d.first - r.first) <= 100 && std::abs(d.second - r.second) <= 100;
            })) {
            return "no cue like " + std::to_string(r.first) + "-" + std::to_string(r.second);
        }
    }
    for (const auto& d : decoded) {
        if (std::none_of(reference.begin(), reference.end(),
                         [&](auto r) { return overlap(r, d); })) {
            return "speech in a pause at " + std::to_string(d.first);
        }
    }
    return {};
}

// Four spoken words, each alone between pauses of 0.8 s, as 44,100 Hz stereo 16-bit PCM.
// Single words, because the detector splits or merges a phrase's inner pauses differently
// once a lossy codec has moved the sound by a few milliseconds; a word has none.
constexpr const char* MAKE_WORDS = R"(set -eu
out=$1; dir=$(dirname "$out"); i=0
for word in window morning subtitle timer; do
    i=$((i + 1)); espeak-ng -s 150 -w "$dir/w$i.wav" "$word"
done
sox -n -r 22050 -c 1 -b 16 "$dir/gap.wav" trim 0 0.8
sox "$dir/gap.wav" "$dir/w1.wav" "$dir/gap.wav" "$dir/w2.wav" "$dir/gap.wav" "$dir/w3.wav" \
    "$dir/gap.wav" "$dir/w4.wav" "$dir/gap.wav" -r 44100 -c 2 -b 16 -e signed-integer "$out"
rm -f "$dir"/w?.wav "$dir/gap.wav")";

// Ends a run still going after 30 s, far longer than any here takes, so that one stuck
// adapter fails its own case instead of hanging the binary (kestrun-cli stops its decoder).
void StopIfHung(int pid) {
    for (int i = 0; i < 6; ++i) {
        if (kestrun::test::ProcessEnds(pid)) {
            return;
        }
    }
    kill(pid, SIGTERM);
}

// COMMAND's words as Words() gives them, its first the adapter of that name beside kestrun-cli.
std::vector<std::string> Adapter(const std::string& command,
                                 const std::map<std::string, std::string>& named) {
    std::vector<std::string> argv = Words(command, named);
    argv[0] = (fs::path(KESTRUN_CLI).parent_path() / argv[0]).string();
    return argv;
}

// A folder for PATH holding links to the basic utilities the adapters use, and to the
// programs in EXTRA, wherever this system has them.
fs::path ToolFolder(const fs::path& bin, const std::string& extra = {}) {
    fs::create_directories(bin);
    const RunResult found =
        RunProgram({"sh", "-c",
                    "for t in sh od tr cut dirname basename mktemp mv rm cp cat head tail wc "
                    "printf expr sed ls " +
                        extra + "; do command -v $t; done"});
    for (const std::string& path : Words(found.out, {})) {
        if (path[0] == '/') {
            fs::create_symlink(path, bin / fs::path(path).filename());
        }
    }
    return bin;
}

// How each type is made from the speech WAV.
struct Format {
    std::string name;
    std::string ext;
    bool lossless;
    std::string encode; // IN and OUT stand for the files
};
const std::string VIDEO_FF = FF + "-f lavfi -i testsrc=size=64x48:rate=5 -i IN -shortest ";
const std::vector<Format> FORMATS = {
    {"wav", "wav", true, "cp IN OUT"},
    {"aif", "aif", true, FF + "-i IN -f aiff OUT"},
    {"wv", "wv", true, "wavpack -q -y IN -o OUT"},
    {"flac", "flac", true, "flac -s -f -o OUT IN"},
    // flac gives back 24 bits, which the adapter must rewrite into the 16-bit layout.
    {"flac24", "flac", true, "sox IN -b 24 OUT"},
    {"tta", "tta", true, FF + "-i IN -c:a tta OUT"},
    {"mp3", "mp3", false, "lame --silent -b 128 IN OUT"},
    {"m4a", "m4a", false, FF + "-i IN -c:a aac OUT"},
    {"aac", "aac", false, FF + "-i IN -c:a aac -f adts OUT"},
    {"mp4", "mp4", false, VIDEO_FF + "-c:v libx264 -c:a aac OUT"},
    {"ogg", "ogg", false, "oggenc -Q -o OUT IN"},
    {"mpc", "mpc", false, "mpcenc --silent --overwrite IN OUT"},
    {"ac3", "ac3", false, FF + "-i IN -c:a ac3 OUT"},
    {"mpa", "mpa", false, FF + "-i IN -c:a mp2 -f mp2 OUT"},
    {"mp2", "mp2", false, FF + "-i IN -c:a mp2 OUT"},
    {"avi", "avi", false, VIDEO_FF + "-c:v mpeg4 -c:a libmp3lame OUT"},
    {"vob", "vob", false, FF + "-i IN -c:a ac3 -f vob OUT"},
    {"dts", "dts", false, FF + "-i IN -c:a dca -strict -2 OUT"},
    {"wma", "wma", false, FF + "-i IN -c:a wmav2 OUT"},
    // The types ffdecode.exe takes, each in a codec files of that type commonly carry.
    {"mkv", "mkv", true, VIDEO_FF + "-c:v libx264 -c:a pcm_s16le OUT"},
    {"mka", "mka", true, FF + "-i IN -c:a flac OUT"},
    {"webm", "webm", false, VIDEO_FF + "-c:v libvpx -c:a libopus OUT"},
    {"mov", "mov", true, VIDEO_FF + "-c:v libx264 -c:a pcm_s16le OUT"},
    {"m4v", "m4v", false, VIDEO_FF + "-c:v libx264 -c:a aac OUT"},
    {"m4b", "m4b", false, FF + "-i IN -c:a aac OUT"},
    {"3gp", "3gp", false, VIDEO_FF + "-c:v libx264 -c:a aac OUT"},
    {"ts", "ts", false, VIDEO_FF + "-c:v mpeg2video -c:a mp2 OUT"},
    {"mts", "mts", false, VIDEO_FF + "-c:v libx264 -c:a ac3 OUT"},
    {"m2ts", "m2ts", false, VIDEO_FF + "-c:v libx264 -c:a aac OUT"},
    {"flv", "flv", false, VIDEO_FF + "-c:v flv -c:a libmp3lame OUT"},
    {"wmv", "wmv", false, VIDEO_FF + "-c:v wmv2 -c:a wmav2 OUT"},
    {"asf", "asf", false, FF + "-i IN -c:a wmav1 -f asf OUT"},
    {"opus", "opus", false, FF + "-i IN -c:a libopus OUT"},
    {"oga", "oga", true, FF + "-i IN -c:a flac OUT"},
    {"ogv", "ogv", false, VIDEO_FF + "-c:v libtheora -c:a libvorbis OUT"},
    {"caf", "caf", true, FF + "-i IN -c:a alac OUT"},
    // 8 kHz narrow band; sox writes the pauses as comfort-noise frames, which ffmpeg's own
    // decoder would drop, pulling every later cue early.
    {"amr", "amr", false, "sox IN -r 8000 -c 1 -C 7 -t amr-nb OUT"},
    {"aiff", "aiff", true, FF + "-i IN OUT"},
    {"au", "au", true, FF + "-i IN OUT"},
    {"w64", "w64", true, FF + "-i IN OUT"},
};

// Files for single cases rather than round trips.
const std::vector<Format> EXTRAS = {
    // A three-second tone as the first audio stream, the speech as the second.
    {"two streams", "mkv", true,
     FF + "-f lavfi -i sine=frequency=440:duration=3 -i IN -map 0:a -map 1:a -c:a flac OUT"},
    {"video only", "mkv", false,
     FF + "-f lavfi -i testsrc=size=64x48:rate=5:duration=1 -c:v libx264 OUT"},
};

void PrintTo(const Format& format, std::ostream* out) {
    *out << format.name;
}

// Made once for the whole binary and removed at exit: the speech, its reference SRT, and
// the speech in each type, encoded when first asked for.
struct Shared {
    testwav::TempDir root;
    std::string speech = root / "speech.wav";
    std::string referenceSrt;
    std::map<std::string, std::string> encoded;

    Shared() {
        fs::create_directories(root.path() / "ref");
        if (RunProgram({"sh", "-c", MAKE_WORDS, "make-words", speech}).status == 0 &&
            fs::copy_file(speech, root / "ref/speech.wav") &&
            RunCli({root / "ref/speech.wav"}).status == 0) {
            referenceSrt = ReadFile(root / "ref/speech.srt");
        }
    }

    // The speech as the format of that name (or the extra file), or empty when the encoder
    // failed.
    std::string Encoded(const std::string& name) {
        const auto named = [&](const Format& f) { return f.name == name; };
        auto format = std::find_if(FORMATS.begin(), FORMATS.end(), named);
        if (format == FORMATS.end()) {
            format = std::find_if(EXTRAS.begin(), EXTRAS.end(), named);
        }
        if (encoded.count(name) == 0) {
            const std::string out = root / (name + "." + format->ext);
            const bool made =
                RunProgram(Words(format->encode, {{"IN", speech}, {"OUT", out}})).status == 0;
            encoded[name] = made ? out : "";
        }
        return encoded[name];
    }
};

Shared& Common() {
    static Shared shared;
    return shared;
}

class DecodersTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_GE(Cues(Common().referenceSrt).size(), 2u) << "no reference"; }

    // A fresh folder of that name for one case.
    static fs::path Folder(const std::string& name) {
        const fs::path folder = Common().root.path() / name;
        fs::remove_all(folder);
        fs::create_directories(folder);
        return folder;
    }
};

class DecodersRoundTrip : public DecodersTest, public testing::WithParamInterface<Format> {};

// The decoded file gives the reference's cues, exactly where nothing was lost, and no file
// but the WAV and SRT joins the source (no copy, no temporary file).
TEST_P(DecodersRoundTrip, GivesTheCuesOfTheOriginal) {
    const Format& format = GetParam();
    const std::string encoded = Common().Encoded(format.name);
    ASSERT_NE(encoded, "") << "cannot encode " << format.name;
    const fs::path folder = Folder("roundtrip " + format.name);
    const fs::path src = folder / (ODD_NAME + "." + format.ext);
    fs::copy_file(encoded, src);

    RunOptions options;
    options.workDir = folder.string();
    options.whileRunning = StopIfHung;
    const RunResult run = RunCli({src.string()}, options);
    ASSERT_EQ(run.status, 0) << format.name << ": " << run.err;
    const std::string srt = ReadFile(folder / (ODD_NAME + ".srt"));
    if (format.lossless) {
        EXPECT_EQ(srt, Common().referenceSrt) << format.name;
        EXPECT_TRUE(ReadFile(folder / (ODD_NAME + ".wav")) == ReadFile(Common().speech))
            << format.name << ": the decoded WAV differs from the original";
    } else {
        EXPECT_EQ(CompareCues(Common().referenceSrt, srt), "") << format.name << ":\n" << srt;
    }
    const Names left = {ODD_NAME + "." + format.ext, ODD_NAME + ".wav", ODD_NAME + ".srt"};
    EXPECT_EQ(Listing(folder), left) << format.name;
}

INSTANTIATE_TEST_SUITE_P(Types, DecodersRoundTrip, testing::ValuesIn(FORMATS),
                         [](const auto& param) { return param.param.name; });

// Nothing here encodes Monkey's Audio, so mac.exe is checked on what it must refuse: the
// worker's only proof of failure is the exit status and a missing WAV.
TEST_F(DecodersTest, MacRefusesForeignFilesAndOtherArguments) {
    const fs::path folder = Folder("mac");
    const std::map<std::string, std::string> paths = {{"SRC", folder / "in.ape"},
                                                      {"WAV", folder / "in.wav"}};
    testwav::WriteText(folder / "in.ape", std::string(4096, 'x'));
    const RunResult foreign = RunProgram(Adapter("mac.exe SRC WAV -d", paths));
    EXPECT_NE(foreign.status, 0);
    EXPECT_EQ(std::count(foreign.err.begin(), foreign.err.end(), '\n'), 1) << foreign.err;
    EXPECT_EQ(Listing(folder), Names{"in.ape"});

    // A file it can decode, so that only the argument check stands in the way.
    const std::string flac = Common().Encoded("flac");
    ASSERT_NE(flac, "");
    fs::copy_file(flac, folder / "in.ape", fs::copy_options::overwrite_existing);
    for (const char* args : {"-d SRC WAV", "SRC WAV", "SRC WAV -d -d", "SRC WAV -x", ""}) {
        const RunResult run = RunProgram(Adapter(std::string("mac.exe ") + args, paths));
        EXPECT_NE(run.status, 0) << args;
        EXPECT_EQ(run.out, "") << args;
        EXPECT_EQ(Listing(folder), Names{"in.ape"}) << args;
    }
}

// flac.exe decodes the two halves of a file at once and joins them: mono or stereo, an
// even or odd number of samples, the join is the bytes of the original, sizes and all.
// Without ffmpeg on PATH, so that only flac's own ways can give them.
TEST_F(DecodersTest, FlacHalvesJoinIntoTheOriginalBytes) {
    const fs::path folder = Folder("flac halves");
    RunOptions options;
    options.environment = {{"PATH", ToolFolder(folder / "bin", "flac metaflac dd").string()}};
    for (const char* shape : {"-c 1 -r 22050", "-c 2 -r 44100"}) {
        for (const char* seconds : {"3.00007", "2"}) {
            SCOPED_TRACE(std::string(shape) + " " + seconds);
            const std::string wav = folder / "in.wav";
            const std::string flac = folder / "in.flac";
            ASSERT_EQ(RunProgram(Words(std::string("sox -n ") + shape + " -b 16 IN synth " +
                                           seconds + " sine 300 sine 410",
                                       {{"IN", wav}}))
                          .status,
                      0);
            ASSERT_EQ(RunProgram({"flac", "-s", "-f", "-o", flac, wav}).status, 0);
            const RunResult run = RunProgram(
                Adapter("flac.exe -d -f SRC -o WAV", {{"SRC", flac}, {"WAV", folder / "out.wav"}}),
                options);
            ASSERT_EQ(run.status, 0) << run.err;
            EXPECT_TRUE(ReadFile(folder / "out.wav") == ReadFile(wav));
            EXPECT_EQ(Listing(folder), (Names{"bin", "in.wav", "in.flac", "out.wav"}));
            fs::remove(folder / "out.wav");
        }
    }
}

// Each adapter as the worker calls it, on a file of its type, with only the basic
// utilities on PATH: the user learns which package to install, and nothing is left, not
// even what a decoder that did run wrote before the adapter gave up.
TEST_F(DecodersTest, MissingDecoderNamesItsPackage) {
    struct Case {
        std::string command;
        std::string format; // the input's, empty for a file of junk
        std::string src;    // the input's name
        std::string says;
        std::string alsoOnPath = {};
    };
    const std::vector<Case> cases = {
        // A real MP3 never needs a program: lame.exe decodes it in its own process.
        {"lame.exe --decode -q 0 SRC WAV", "", "in.mp3", "apt install lame"},
        {"lame.exe --decode -q 0 SRC WAV", "aif", "in.aif", "apt install ffmpeg"},
        {"faad.exe -d SRC -o WAV", "m4a", "in.m4a", "apt install faad"},
        {"oggdec.exe -m SRC", "ogg", "in.tmp.ogg", "apt install vorbis-tools"},
        {"mppdec.exe --wav SRC WAV", "mpc", "in.mpc", "apt install musepack-tools"},
        {"besweet.exe -core( -2ch -input SRC -output WAV )", "ac3", "in.ac3", "apt install ffmpeg"},
        {"mac.exe SRC WAV -d", "", "in.ape", "apt install ffmpeg"},
        {"wvunpack.exe -y SRC WAV", "wv", "in.wv", "apt install wavpack"},
        {"flac.exe -d -f SRC -o WAV", "flac", "in.flac", "apt install flac"},
        // flac runs and writes 24 bits, which only ffmpeg turns into the 16-bit layout.
        {"flac.exe -d -f SRC -o WAV", "flac24", "in.flac", "apt install ffmpeg", "flac"},
        {"ofr.exe --overwrite --decode SRC --output WAV", "", "in.ofr", "ofr"},
        {"ttaenc.exe -d SRC -o WAV", "tta", "in.tta", "apt install ffmpeg"},
        {"wmadec.exe SRC", "wma", "in.wma", "apt install ffmpeg"},
        {"dtsdec.exe -o wav SRC", "dts", "in.dts", "apt install libdca-utils"},
        {"ffdecode.exe --stream 0 SRC WAV", "mkv", "in.mkv", "apt install ffmpeg"},
        {"ffdecode.exe --probe SRC", "mkv", "in.mkv", "apt install ffmpeg"},
    };
    for (const Case& c : cases) {
        const std::string label = c.command + " on " + (c.format.empty() ? "junk" : c.format);
        const fs::path folder = Folder("missing " + c.format + c.src);
        const fs::path bin = ToolFolder(Folder("bin " + c.format + c.src), c.alsoOnPath);
        if (c.format.empty()) {
            testwav::WriteText(folder / c.src, std::string(4096, 'x'));
        } else {
            ASSERT_NE(Common().Encoded(c.format), "") << label;
            fs::copy_file(Common().Encoded(c.format), folder / c.src);
        }
        RunOptions options;
        options.workDir = folder.string();
        options.environment = {{"PATH", bin.string()}};
        const RunResult run = RunProgram(
            Adapter(c.command, {{"SRC", folder / c.src}, {"WAV", folder / "in.wav"}}), options);
        EXPECT_NE(run.status, 0) << label;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << label << " said: " << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << label << ": " << run.err;
        EXPECT_EQ(run.out, "") << label;
        EXPECT_EQ(Listing(folder), Names{c.src}) << label;
    }
}

// lame.exe decodes every kind of MP3 in its own process, with no program on PATH, into
// the bytes the mpg123 program writes: both rest on libmpg123, and the worker's results
// must not depend on which of them did the work. (What the library cannot read goes to
// lame.sh: the AIFF round trip and the junk MP3 of MissingDecoderNamesItsPackage.)
TEST_F(DecodersTest, Mp3DecodesInProcessToMpg123sBytes) {
    const std::string adapter = Adapter("lame.exe", {})[0];
    if (ReadFile(adapter).rfind("#!", 0) == 0) {
        GTEST_SKIP() << "lame.exe is the shell adapter in this build (no libmpg123 headers)";
    }
    if (RunProgram({"sh", "-c", "command -v mpg123 && command -v lame"}).status != 0) {
        GTEST_SKIP() << "needs mpg123 and lame";
    }
    const fs::path folder = Folder("mp3 shapes");
    const auto mp3 = [&](const std::string& name) { return (folder / (name + ".mp3")).string(); };
    const std::string in = Common().speech;
    const std::string lame = "lame --silent ";
    // Each made from the speech or from the ones before it.
    const std::vector<std::pair<std::string, std::vector<std::string>>> shapes = {
        {"cbr", Words(lame + "-b 128 IN OUT", {{"IN", in}, {"OUT", mp3("cbr")}})},
        {"mpeg2",
         Words(lame + "-m m --resample 22.05 -b 32 IN OUT", {{"IN", in}, {"OUT", mp3("mpeg2")}})},
        {"mpeg2.5",
         Words(lame + "-m m --resample 8 -b 16 IN OUT", {{"IN", in}, {"OUT", mp3("mpeg2.5")}})},
        {"vbr", Words(lame + "-V 2 --resample 48 IN OUT", {{"IN", in}, {"OUT", mp3("vbr")}})},
        {"tagged", Words(lame + "-b 128 --tt Title --ta Artist --add-id3v2 IN OUT",
                         {{"IN", in}, {"OUT", mp3("tagged")}})},
        {"layer2", Words(FF + "-i IN -c:a mp2 -f mp2 OUT", {{"IN", in}, {"OUT", mp3("layer2")}})},
        {"cut", {"sh", "-c", "head -c 30000 \"$0\" > \"$1\"", mp3("cbr"), mp3("cut")}},
    };
    RunOptions nothingOnPath;
    fs::create_directories(folder / "empty");
    nothingOnPath.environment = {{"PATH", (folder / "empty").string()}};
    for (const auto& [name, make] : shapes) {
        const fs::path ours = folder / (name + ".wav");
        const fs::path theirs = folder / (name + ".mpg123.wav");
        ASSERT_EQ(RunProgram(make).status, 0) << name;
        ASSERT_EQ(RunProgram({"mpg123", "-q", "-w", theirs, mp3(name)}).status, 0) << name;
        const RunResult run = RunProgram(
            Adapter("lame.exe --decode -q 0 SRC WAV", {{"SRC", mp3(name)}, {"WAV", ours}}),
            nothingOnPath);
        ASSERT_EQ(run.status, 0) << name << ": " << run.err;
        EXPECT_EQ(run.err, "") << name;
        EXPECT_TRUE(ReadFile(ours) == ReadFile(theirs)) << name;
    }

    // A stream that changes its rate and channels halfway goes to ffmpeg through lame.sh,
    // which keeps both halves in the first half's layout; mpg123 writes only the second.
    const std::string joined = mp3("joined");
    ASSERT_EQ(
        RunProgram({"sh", "-c", "cat \"$0\" \"$1\" > \"$2\"", mp3("cbr"), mp3("mpeg2"), joined})
            .status,
        0);
    const fs::path wav = folder / "joined.wav";
    const RunResult run =
        RunProgram(Adapter("lame.exe --decode -q 0 SRC WAV", {{"SRC", joined}, {"WAV", wav}}));
    ASSERT_EQ(run.status, 0) << run.err;
    const auto dataBytes = [&](const std::string& name) {
        return fs::file_size(folder / (name + ".wav")) - 44;
    };
    // The mono 22,050 Hz half takes four times its bytes as 44,100 Hz stereo.
    const double expected = double(dataBytes("cbr")) + 4.0 * double(dataBytes("mpeg2"));
    EXPECT_NEAR(double(dataBytes("joined")) / expected, 1.0, 0.02);
    // Format tag, channels, rate, byte rate, block align and bits: the first half's.
    EXPECT_EQ(ReadFile(wav).substr(20, 16), ReadFile(folder / "cbr.wav").substr(20, 16));
}

// A decoding stopped by SIGTERM or Ctrl-C ends at once with the shell's status for it and
// takes its partial WAV with it.
TEST_F(DecodersTest, StoppedMp3DecodingLeavesNothing) {
    const std::string mp3 = Common().Encoded("mp3");
    ASSERT_NE(mp3, "");
    const fs::path folder = Folder("mp3 stopped");
    // About ten minutes of sound, a hundred megabytes of WAV: far more than one write.
    const fs::path longMp3 = folder / "long.mp3";
    ASSERT_EQ(
        RunProgram({"sh", "-c", "for i in $(seq 100); do cat \"$0\"; done > \"$1\"", mp3, longMp3})
            .status,
        0);
    for (const int signal : {SIGTERM, SIGINT}) {
        const fs::path wav = folder / "long.wav";
        bool signalled = false;
        RunOptions options;
        options.whileRunning = [&](int pid) {
            for (int i = 0; i < 5000; ++i) {
                std::error_code ec;
                if (fs::file_size(wav, ec) > 2'000'000 && !ec) {
                    signalled = kill(pid, signal) == 0;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        };
        const RunResult run = RunProgram(
            Adapter("lame.exe --decode -q 0 SRC WAV", {{"SRC", longMp3}, {"WAV", wav}}), options);
        ASSERT_TRUE(signalled) << "the decoding ended before it could be stopped";
        EXPECT_EQ(run.status, 128 + signal);
        EXPECT_EQ(Listing(folder), Names{"long.mp3"}) << "signal " << signal;
    }
}

// ofr's exit status is not used, so only a missing WAV tells the worker the decoding failed.
TEST_F(DecodersTest, OfrWithoutItsDecoderFailsTheJob) {
    if (RunProgram({"sh", "-c", "command -v ofr"}).status == 0) {
        GTEST_SKIP() << "an ofr program is installed here";
    }
    const fs::path folder = Folder("ofr");
    // Real sound, so an adapter that passed its input through would leave a usable WAV.
    fs::copy_file(Common().speech, folder / "x.ofr");
    const RunResult run = RunCli({(folder / "x.ofr").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Ошибка декодирования"), std::string::npos) << run.err;
    EXPECT_EQ(Listing(folder), Names{"x.ofr"});
}

// Where ffmpeg is missing, the adapters that ask it first decode with their own decoder,
// through kestrun-cli to the same cues (the lossless one to the same bytes).
TEST_F(DecodersTest, OwnDecodersStandInForFfmpeg) {
    struct Case {
        std::string format;
        std::string decoder;
    };
    for (const Case& c :
         std::vector<Case>{{"mp3", "lame"}, {"flac", "flac"}, {"m4a", "faad"}, {"ogg", "oggdec"}}) {
        const std::string encoded = Common().Encoded(c.format);
        ASSERT_NE(encoded, "") << c.format;
        const fs::path folder = Folder("without ffmpeg " + c.format);
        fs::copy_file(encoded, folder / ("in." + c.format));
        RunOptions options;
        options.whileRunning = StopIfHung;
        options.environment = {{"PATH", ToolFolder(folder / "bin", c.decoder).string()}};
        const RunResult run = RunCli({(folder / ("in." + c.format)).string()}, options);
        ASSERT_EQ(run.status, 0) << c.format << ": " << run.err;
        const std::string srt = ReadFile(folder / "in.srt");
        if (c.format == "flac") {
            EXPECT_EQ(srt, Common().referenceSrt);
            EXPECT_TRUE(ReadFile(folder / "in.wav") == ReadFile(Common().speech));
        } else {
            EXPECT_EQ(CompareCues(Common().referenceSrt, srt), "") << c.format << ":\n" << srt;
        }
    }
    // An MP3 reaches lame's own decoder only through lame.sh, where libmpg123 failed.
    const fs::path folder = Folder("without ffmpeg lame.sh");
    const RunResult lame = RunProgram(
        {"sh", Adapter("lame.sh", {})[0], "--decode", "-q", "0", Common().Encoded("mp3"),
         (folder / "in.wav").string()},
        [&] {
            RunOptions options;
            options.environment = {{"PATH", ToolFolder(folder / "bin", "lame").string()}};
            return options;
        }());
    ASSERT_EQ(lame.status, 0) << lame.err;
    EXPECT_GT(fs::file_size(folder / "in.wav"), 100'000u);
}

// A type the table does not name is decoded when ffmpeg finds sound in it, whatever its
// name says or lacks; anything else (text, a video without sound) is refused with the one
// line of kestrun-cli, the probe itself quiet, and nothing is left beside it.
TEST_F(DecodersTest, UnknownTypesAreProbed) {
    const std::string mkv = Common().Encoded("mkv");
    const std::string video = Common().Encoded("video only");
    ASSERT_NE(mkv, "");
    ASSERT_NE(video, "");
    for (const std::string name : {"speech.media", "speech"}) {
        const fs::path folder = Folder("probe " + name);
        fs::copy_file(mkv, folder / name);
        RunOptions options;
        options.whileRunning = StopIfHung;
        const RunResult run = RunCli({(folder / name).string()}, options);
        ASSERT_EQ(run.status, 0) << name << ": " << run.err;
        EXPECT_EQ(ReadFile(folder / "speech.srt"), Common().referenceSrt) << name;
        EXPECT_TRUE(ReadFile(folder / "speech.wav") == ReadFile(Common().speech)) << name;
        EXPECT_EQ(Listing(folder), (Names{name, "speech.wav", "speech.srt"})) << name;
    }
    const fs::path folder = Folder("probe refused");
    testwav::WriteText(folder / "notes.media", "Not a sound file at all.\n");
    fs::copy_file(video, folder / "clip");
    for (const std::string name : {"notes.media", "clip"}) {
        const RunResult run = RunCli({(folder / name).string()});
        EXPECT_EQ(run.status, 1) << name;
        EXPECT_EQ(run.err, "kestrun-cli: " + (folder / name).string() +
                               ": Данный тип файла не поддерживается.\n");
    }
    EXPECT_EQ(Listing(folder), (Names{"notes.media", "clip"}));
}

// kestrun-cli --stream N analyses the Nth audio stream, counting from 0; one that is not
// there fails the file with the adapter's line naming it, leaving nothing.
TEST_F(DecodersTest, StreamPicksTheAudioStream) {
    const std::string two = Common().Encoded("two streams");
    ASSERT_NE(two, "");
    const fs::path folder = Folder("streams");
    const fs::path src = folder / "film.mkv";
    fs::copy_file(two, src);
    RunOptions options;
    options.whileRunning = StopIfHung;
    const RunResult second = RunCli({"--stream", "1", src.string()}, options);
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(ReadFile(folder / "film.srt"), Common().referenceSrt);
    EXPECT_TRUE(ReadFile(folder / "film.wav") == ReadFile(Common().speech));
    const RunResult first = RunCli({src.string()}, options);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(Cues(ReadFile(folder / "film.srt")).size(), 1u) << "not the tone";

    fs::remove(folder / "film.srt");
    fs::remove(folder / "film.wav");
    const RunResult third = RunCli({"--stream", "2", src.string()}, options);
    EXPECT_EQ(third.status, 1);
    EXPECT_NE(third.err.find("ffdecode.exe: no audio stream 2 in " + src.string() + "\n"),
              std::string::npos)
        << third.err;
    EXPECT_EQ(Listing(folder), Names{"film.mkv"});
}

} // namespace
