// bench_speech_cli WAV: kestrun-cli -d speech end to end (load, speech model, cues, SRT)
// over one long WAV against kestrun-cli -d energy over the same file as the baseline,
// each a child process, taken in turn; medians of the times and the peak resident sizes
// of the children.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ChildRun.h"

namespace {

constexpr int REPEATS = 3;
constexpr double TARGET_EXTRA_MB = 64.0;

using kestrun::bench::ChildRun;
using kestrun::bench::MB;
using kestrun::bench::Median;

ChildRun Run(const std::vector<std::string>& args, const std::string& outPath) {
    return kestrun::bench::RunChild(args, outPath, "bench_speech_cli");
}

// "PATH: N cues" -> "N cues"; the path is a temporary folder, gone by the time it prints.
std::string Cues(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    const std::size_t colon = line.rfind(": ");
    return colon == std::string::npos ? line : line.substr(colon + 2);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_speech_cli WAV\n");
        return 2;
    }
    const std::string wav = argv[1];
    std::string dirTemplate =
        (std::filesystem::path(wav).parent_path() / "bench-speech-XXXXXX").string();
    if (mkdtemp(dirTemplate.data()) == nullptr) {
        std::perror("bench_speech_cli: mkdtemp");
        return 1;
    }
    const std::filesystem::path dir = dirTemplate;
    const std::string speechOut = (dir / "speech.out").string();
    const std::string energyOut = (dir / "energy.out").string();

    // One run of each first, untimed, so both find the file and the model in the page cache.
    bool ok = Run({KESTRUN_CLI, "-d", "energy", "--out-dir", dir.string(), wav}, energyOut).ok;
    std::vector<double> speechTimes;
    std::vector<double> energyTimes;
    long speechPeak = 0;
    long energyPeak = 0;
    for (int r = 0; r < REPEATS && ok; ++r) {
        const ChildRun s =
            Run({KESTRUN_CLI, "-d", "speech", "--out-dir", dir.string(), wav}, speechOut);
        const ChildRun e =
            Run({KESTRUN_CLI, "-d", "energy", "--out-dir", dir.string(), wav}, energyOut);
        ok = s.ok && e.ok;
        speechTimes.push_back(s.seconds);
        energyTimes.push_back(e.seconds);
        speechPeak = std::max(speechPeak, s.maxRssKiB);
        energyPeak = std::max(energyPeak, e.maxRssKiB);
    }
    const std::string speechCues = Cues(speechOut);
    const std::string energyCues = Cues(energyOut);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (!ok) {
        std::printf("speech end to end FAILED: a kestrun-cli run failed (see above)\n");
        return 1;
    }
    const double speech = Median(speechTimes);
    const double energy = Median(energyTimes);
    std::printf("speech end to end, 1 h 44.1 kHz stereo: kestrun-cli -d speech %.2f s (%s), "
                "median of %d\n",
                speech, speechCues.c_str(), REPEATS);
    std::printf("speech end to end   baseline kestrun-cli -d energy %.2f s (%s); speech/energy "
                "%.1fx\n",
                energy, energyCues.c_str(), speech / energy);
    const double extra = MB(speechPeak) - MB(energyPeak);
    std::printf("speech end to end   peak memory: speech %.1f MB, energy %.1f MB, %+.1f MB "
                "(target <= +%.0f MB: %s)\n",
                MB(speechPeak), MB(energyPeak), extra, TARGET_EXTRA_MB,
                extra <= TARGET_EXTRA_MB ? "met" : "NOT MET");
    return 0;
}
