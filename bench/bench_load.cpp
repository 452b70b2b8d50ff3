// bench_load WAV: P2 and P3 over one long WAV. P2 times kestrun-cli (load, detection,
// SRT) against a plain reader of the same file, and a process that only loads it to show
// where the time goes; the three alternate, each a child process. P3 is the peak resident
// size of the load-only process, against the plain reader's.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ChildRun.h"

#include "WavHeader.h"

namespace {

constexpr int REPEATS = 5;
constexpr double TARGET_TIME_RATIO = 1.5;
constexpr double TARGET_PEAK_MB = 64.0;
constexpr std::size_t WARM_CHUNK = 1 << 20;

using kestrun::bench::ChildRun;
using kestrun::bench::MB;
using kestrun::bench::Median;

ChildRun Run(const std::vector<std::string>& args, const std::string& outPath) {
    return kestrun::bench::RunChild(args, outPath, "bench_load");
}

// Reads the whole file once so every timed run finds it in the page cache.
bool WarmCache(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    std::vector<char> buf(WARM_CHUNK);
    while (std::fread(buf.data(), 1, buf.size(), f) == buf.size()) {
    }
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

double MiB(long kib) {
    return static_cast<double>(kib) / 1024.0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_load WAV\n");
        return 2;
    }
    const std::string wav = argv[1];
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(wav, ec);
    if (ec || !WarmCache(wav)) {
        std::fprintf(stderr, "bench_load: cannot read %s\n", wav.c_str());
        return 1;
    }
    std::string dirTemplate =
        (std::filesystem::path(wav).parent_path() / "bench-out-XXXXXX").string();
    if (mkdtemp(dirTemplate.data()) == nullptr) {
        std::perror("bench_load: mkdtemp");
        return 1;
    }
    const std::filesystem::path outDir = dirTemplate;
    const std::string cliOut = (outDir / "cli.out").string();
    const std::string baseOut = (outDir / "baseline.out").string();
    const std::string loadOut = (outDir / "load.out").string();

    std::vector<double> cliTimes;
    std::vector<double> baseTimes;
    std::vector<double> loadTimes;
    long cliPeak = 0;
    long basePeak = 0;
    long loadPeak = 0;
    bool ok = true;
    for (int r = 0; r < REPEATS && ok; ++r) {
        const ChildRun c = Run({KESTRUN_CLI, wav, "--out-dir", outDir.string()}, cliOut);
        const ChildRun b = Run({READ_BASELINE, wav}, baseOut);
        const ChildRun l = Run({LOAD_ONLY, wav}, loadOut);
        ok = c.ok && b.ok && l.ok;
        cliTimes.push_back(c.seconds);
        baseTimes.push_back(b.seconds);
        loadTimes.push_back(l.seconds);
        cliPeak = std::max(cliPeak, c.maxRssKiB);
        basePeak = std::max(basePeak, b.maxRssKiB);
        loadPeak = std::max(loadPeak, l.maxRssKiB);
    }
    const std::string cliLine = FirstLine(cliOut);
    std::filesystem::remove_all(outDir, ec);
    if (!ok) {
        std::printf("P2/P3 FAILED: a child process failed (see above)\n");
        return 1;
    }

    const double cli = Median(cliTimes);
    const double base = Median(baseTimes);
    const double ratio = cli / base;
    std::printf("P2 load + detection + SRT, 1 h 44.1 kHz stereo 16-bit (%.0f MB, page cache "
                "warm): kestrun-cli %.3f s, median of %d\n",
                static_cast<double>(size) / 1e6, cli, REPEATS);
    std::printf("P2   baseline, read() in %zu MiB chunks + sum of squares: %.3f s; ratio %.2fx "
                "(target <= %.1fx: %s)\n",
                kestrun::READ_CHUNK_BYTES >> 20, base, ratio, TARGET_TIME_RATIO,
                ratio <= TARGET_TIME_RATIO ? "met" : "NOT MET");
    const double load = Median(loadTimes);
    std::printf("P2   of which loading alone (a process that only loads): %.3f s, %.2fx the "
                "baseline\n",
                load, load / base);
    // "PATH.srt: N cues"; the path is a temporary folder, gone by now.
    const std::size_t colon = cliLine.rfind(": ");
    std::printf("P2   kestrun-cli wrote %s\n",
                colon == std::string::npos ? cliLine.c_str() : cliLine.c_str() + colon + 2);

    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    const double peak = MB(loadPeak);
    std::printf("P3 peak memory of a process that only loads the file: %.1f MB (%.1f MiB) "
                "(target <= %.0f MB: %s)\n",
                peak, MiB(loadPeak), TARGET_PEAK_MB, peak <= TARGET_PEAK_MB ? "met" : "NOT MET");
    std::printf("P3   baseline reader's peak %.1f MB, ratio %.2fx; kestrun-cli's peak %.1f MB; "
                "this runner's own %.1f MB\n",
                MB(basePeak), static_cast<double>(loadPeak) / static_cast<double>(basePeak),
                MB(cliPeak), MB(self.ru_maxrss));
    return 0;
}
