// bench_mono WAV: ConvertToMono over a copy of a long stereo WAV (make_long_wav writes the
// one-hour one), timed against /bin/cp of the same file, both from a synced page cache,
// alternating, median of five. The copies live beside WAV and are removed again.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "File.h"
#include "Mono.h"
#include "Path.h"
#include "Process.h"

namespace {

constexpr int REPEATS = 5;
constexpr double TARGET_RATIO = 2.0;

bool Cp(const std::string& src, const std::string& dst) {
    kestrun::ChildProcess cp;
    kestrun::ProcessOptions options;
    options.searchFolders = {"/bin", "/usr/bin"};
    return cp.Start({"cp", src, dst}, options) && cp.Wait() == 0;
}

bool Sync() {
    ::sync();
    return true;
}

template <typename Step> double Seconds(Step step, bool* ok) {
    const auto t0 = std::chrono::steady_clock::now();
    *ok = step() && *ok;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_mono WAV\n");
        return 2;
    }
    const std::string wav = argv[1];
    uint32_t wavBytes = 0;
    if (!kestrun::FileSize32(wav, &wavBytes)) {
        std::fprintf(stderr, "bench_mono: cannot read %s\n", wav.c_str());
        return 1;
    }
    const std::string folder(kestrun::PathFolder(wav));
    const std::string copy = folder + "bench-mono-cp.wav";
    const std::string fresh = folder + "bench-mono-input.wav";

    // Timed from a synced page cache; with durable also until the written data is on disk,
    // where the conversion's half-size output tells rather than the page cache's speed.
    bool ok = true;
    const auto measure = [&](bool durable, std::vector<double>* cpTimes,
                             std::vector<double>* monoTimes) {
        for (int round = 0; ok && round < REPEATS; ++round) {
            ::sync();
            cpTimes->push_back(Seconds([&] { return Cp(wav, copy) && (!durable || Sync()); }, &ok));
            ok = Cp(wav, fresh) && ok;
            // Deleted only now, so that both steps write into memory freed moments before:
            // on a virtual machine, memory left free for long may have been handed back to
            // the host, and touching it again costs several times more.
            kestrun::DeleteFileIfAny(copy);
            ::sync();
            monoTimes->push_back(Seconds(
                [&] { return kestrun::ConvertToMono(fresh) && (!durable || Sync()); }, &ok));
            kestrun::DeleteFileIfAny(fresh);
            // The replaced file's space is given back on a thread of its own; let that
            // finish before the next copy is timed, so neither side pays for the other.
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    };
    std::vector<double> cpCached, monoCached, cpDurable, monoDurable;
    measure(false, &cpCached, &monoCached);
    measure(true, &cpDurable, &monoDurable);
    if (!ok) {
        std::fprintf(stderr, "bench_mono: a step failed (disk space in %s?)\n", folder.c_str());
        return 1;
    }
    const double mono = Median(monoCached), cp = Median(cpCached);
    std::printf("mono: stereo WAV (%u MB): ConvertToMono %.2f s, cp %.2f s (median of %d)"
                " -> %.2fx cp (target < %.0fx)\n",
                static_cast<unsigned>(wavBytes / 1000000), mono, cp, REPEATS, mono / cp,
                TARGET_RATIO);
    const double monoSync = Median(monoDurable), cpSync = Median(cpDurable);
    std::printf("mono:   until on disk (each followed by sync): ConvertToMono %.2f s, cp %.2f s"
                " -> %.2fx cp\n",
                monoSync, cpSync, monoSync / cpSync);
    return 0;
}
