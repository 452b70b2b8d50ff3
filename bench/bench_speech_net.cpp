// bench_speech_net MODEL WAV OURS.txt [--ort PROBS SECONDS]: the speech network alone over
// a 16 kHz mono WAV held in memory, on one thread and on every core, timed around the
// inference only (median of three). Both must give the same probabilities up to float
// rounding; the one-thread run's are written to OURS.txt. With --ort, ONNX Runtime on one
// thread over the same file is the baseline: its inference time against ours, and how far
// the two sets of probabilities lie apart, which must be rounding only.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "SpeechModel.h"
#include "WavHeader.h"

namespace {

constexpr double TARGET_RATIO = 1.0 / 3.0;
constexpr int REPEATS = 3;
// Far above float rounding through the network (a batch split another way sums in
// another order), far below any difference in meaning.
constexpr double AGREEMENT_LIMIT = 1e-4;

bool ReadMono16k(const std::string& path, std::vector<float>* samples) {
    std::ifstream in(path, std::ios::binary);
    uint8_t bytes[kestrun::WAV_HEADER_BYTES];
    if (!in.read(reinterpret_cast<char*>(bytes), sizeof bytes)) {
        return false;
    }
    const kestrun::WavHeader h = kestrun::ParseWavHeader(bytes);
    if (h.nChannels != 1 || h.nSamplesPerSec != kestrun::SPEECH_RATE || h.wBitsPerSample != 16) {
        std::fprintf(stderr, "bench_speech_net: %s: need 16 kHz mono 16-bit\n", path.c_str());
        return false;
    }
    std::vector<int16_t> raw(h.dataSize / 2);
    in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size() * 2));
    raw.resize(static_cast<std::size_t>(in.gcount()) / 2);
    samples->resize(raw.size());
    std::transform(raw.begin(), raw.end(), samples->begin(),
                   [](int16_t s) { return static_cast<float>(s) / 32768.0f; });
    return !raw.empty();
}

double Seconds(const kestrun::SpeechModel& model, const std::vector<float>& samples, int threads,
               std::vector<float>* out) {
    std::vector<double> times;
    for (int r = 0; r < REPEATS; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        *out = kestrun::SpeechProbabilities(model, samples, threads);
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

struct Difference {
    bool sameCount = false;
    double max = 0.0;
    double mean = 0.0;
    std::size_t flips = 0; // windows on the other side of 0.5
};

Difference Compare(const std::vector<float>& a, const std::vector<float>& b) {
    Difference d;
    d.sameCount = a.size() == b.size();
    if (!d.sameCount || a.empty()) {
        return d;
    }
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double x = std::abs(double{a[i]} - double{b[i]});
        d.max = std::max(d.max, x);
        sum += x;
        d.flips += (a[i] >= 0.5f) != (b[i] >= 0.5f);
    }
    d.mean = sum / static_cast<double>(a.size());
    return d;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 && !(argc == 7 && std::string(argv[4]) == "--ort")) {
        std::fprintf(stderr, "usage: bench_speech_net MODEL WAV OURS.txt [--ort PROBS SECONDS]\n");
        return 2;
    }
    kestrun::SpeechModel model;
    std::string error;
    if (!kestrun::LoadSpeechModel(argv[1], &model, &error)) {
        std::fprintf(stderr, "bench_speech_net: %s\n", error.c_str());
        return 1;
    }
    std::vector<float> samples;
    if (!ReadMono16k(argv[2], &samples)) {
        std::fprintf(stderr, "bench_speech_net: cannot read %s\n", argv[2]);
        return 1;
    }
    const double audioSeconds = static_cast<double>(samples.size()) / kestrun::SPEECH_RATE;

    std::vector<float> one;
    std::vector<float> all;
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const double t1 = Seconds(model, samples, 1, &one);
    const double tn = Seconds(model, samples, cores, &all);
    const std::size_t expected =
        (samples.size() + kestrun::SPEECH_WINDOW - 1) / kestrun::SPEECH_WINDOW;
    std::printf("speech net over %.0f s of 16 kHz mono (%zu windows), median of %d: 1 thread "
                "%.2f s (%.0fx real time), %d threads %.2f s (speed-up %.2fx)\n",
                audioSeconds, one.size(), REPEATS, t1, audioSeconds / t1, cores, tn, t1 / tn);
    bool ok = true;
    if (one.size() != expected) {
        std::printf("speech net   WRONG: %zu windows, expected %zu\n", one.size(), expected);
        ok = false;
    }
    const Difference threads = Compare(one, all);
    std::printf("speech net   1 thread against %d threads: max |difference| %.2e, windows on the "
                "other side of 0.5: %zu (limit %.0e: %s)\n",
                cores, threads.max, threads.flips, AGREEMENT_LIMIT,
                threads.sameCount && threads.max <= AGREEMENT_LIMIT ? "met" : "NOT MET");
    ok = threads.sameCount && threads.max <= AGREEMENT_LIMIT && ok;
    std::FILE* f = std::fopen(argv[3], "w");
    if (f == nullptr) {
        std::perror(argv[3]);
        return 1;
    }
    for (const float p : one) {
        std::fprintf(f, "%.9g\n", static_cast<double>(p));
    }
    if (std::fclose(f) != 0) {
        std::fprintf(stderr, "bench_speech_net: cannot write %s\n", argv[3]);
        return 1;
    }
    if (argc == 7) {
        std::vector<float> ort;
        std::ifstream in(argv[5]);
        for (float p = 0.0f; in >> p;) {
            ort.push_back(p);
        }
        const double ortSeconds = std::atof(argv[6]);
        const double ratio = t1 / ortSeconds;
        std::printf("speech net   baseline ONNX Runtime, 1 thread, same file: %.2f s; ours/ORT "
                    "%.3f (target <= %.3f: %s)\n",
                    ortSeconds, ratio, TARGET_RATIO, ratio <= TARGET_RATIO ? "met" : "NOT MET");
        const Difference d = Compare(one, ort);
        if (!d.sameCount) {
            std::printf("speech net   WRONG: ORT gives %zu windows, ours %zu\n", ort.size(),
                        one.size());
        } else {
            std::printf("speech net   against ORT: max |difference| %.2e, mean %.2e, windows on "
                        "the other side of 0.5: %zu (limit %.0e: %s)\n",
                        d.max, d.mean, d.flips, AGREEMENT_LIMIT,
                        d.max <= AGREEMENT_LIMIT ? "met" : "NOT MET");
        }
        ok = d.sameCount && d.max <= AGREEMENT_LIMIT && ok;
    }
    return ok ? 0 : 1;
}
