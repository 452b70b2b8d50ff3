// make_long_wav PATH SECONDS: writes a long 44,100 Hz stereo 16-bit PCM WAV of
// speech-like noise bursts and pauses for the load benchmarks. The same seed always gives
// the same file; an existing file of the right size is kept, so reruns cost nothing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Random.h"
#include "WavHeader.h"

namespace {

constexpr uint32_t RATE = 44100;
constexpr uint16_t CHANNELS = 2;
constexpr uint16_t BYTES_PER_SAMPLE = 2;
constexpr std::size_t OUT_CHUNK_FRAMES = 1 << 18;

using kestrun::bench::Random;

// Speech as a detector sees it: phrases of syllables (noise under a rise-and-fall
// envelope, each syllable its own loudness) separated by pauses over a low noise floor.
class SpeechLike {
public:
    explicit SpeechLike(uint64_t seed) : rng_(seed) { StartPause(); }

    // One stereo frame.
    void Next(int16_t* left, int16_t* right) {
        if (left_ == 0) {
            Advance();
        }
        --left_;
        double amp = FLOOR;
        if (inPhrase_) {
            // Triangle over the syllable, so the energy ramps as a voice's does.
            const double pos = 1.0 - static_cast<double>(left_) / static_cast<double>(length_);
            amp += peak_ * (pos < 0.5 ? 2.0 * pos : 2.0 * (1.0 - pos));
        }
        // One-pole low-pass: voiced sound carries most of its energy low.
        tone_ = 0.7 * tone_ + 0.3 * rng_.Signed();
        const double l = amp * tone_ * 2.0;
        const double r = 0.85 * l + FLOOR * rng_.Signed();
        *left = Clip(l);
        *right = Clip(r);
    }

private:
    static constexpr double FLOOR = 40.0;

    static int16_t Clip(double v) { return static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0)); }

    uint32_t Samples(double seconds) { return static_cast<uint32_t>(seconds * RATE) + 1; }

    void StartPause() {
        inPhrase_ = false;
        length_ = left_ = Samples(rng_.Between(0.2, 1.5));
        syllablesLeft_ = 2 + static_cast<int>(rng_.Next() % 14);
    }

    void StartSyllable() {
        inPhrase_ = true;
        length_ = left_ = Samples(rng_.Between(0.08, 0.35));
        peak_ = rng_.Between(1500.0, 16000.0);
        --syllablesLeft_;
    }

    void Advance() {
        if (syllablesLeft_ > 0) {
            StartSyllable();
        } else {
            StartPause();
        }
    }

    Random rng_;
    bool inPhrase_ = false;
    uint32_t length_ = 1;
    uint32_t left_ = 0;
    int syllablesLeft_ = 0;
    double peak_ = 0.0;
    double tone_ = 0.0;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_long_wav PATH SECONDS\n");
        return 2;
    }
    const std::filesystem::path path = argv[1];
    const uint64_t seconds = std::strtoull(argv[2], nullptr, 10);
    const uint64_t frames = seconds * RATE;
    const uint64_t dataBytes = frames * CHANNELS * BYTES_PER_SAMPLE;
    if (seconds == 0 || dataBytes + kestrun::WAV_HEADER_BYTES > UINT32_MAX) {
        std::fprintf(stderr, "make_long_wav: %s seconds do not fit a WAV\n", argv[2]);
        return 2;
    }
    std::error_code ec;
    if (std::filesystem::file_size(path, ec) == dataBytes + kestrun::WAV_HEADER_BYTES && !ec) {
        return 0;
    }

    std::fprintf(stderr, "make_long_wav: writing %s (%llu s), once\n", path.c_str(),
                 static_cast<unsigned long long>(seconds));
    // Written beside the target and renamed, so an interrupted run never leaves a file
    // of the right size but the wrong content.
    const std::filesystem::path part = path.string() + ".part";
    std::FILE* f = std::fopen(part.c_str(), "wb");
    if (f == nullptr) {
        std::perror(part.c_str());
        return 1;
    }
    const auto header = kestrun::SerializeWavHeader(
        kestrun::CanonicalWavHeader(CHANNELS, RATE, static_cast<uint32_t>(dataBytes)));
    bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();

    SpeechLike speech(0x4B657374'72756E31ULL);
    std::vector<uint8_t> out(OUT_CHUNK_FRAMES * CHANNELS * BYTES_PER_SAMPLE);
    for (uint64_t done = 0; ok && done < frames;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<uint64_t>(OUT_CHUNK_FRAMES, frames - done));
        uint8_t* p = out.data();
        for (std::size_t i = 0; i < n; ++i) {
            int16_t l = 0;
            int16_t r = 0;
            speech.Next(&l, &r);
            for (const int16_t s : {l, r}) {
                const uint16_t u = static_cast<uint16_t>(s);
                *p++ = static_cast<uint8_t>(u & 0xFF);
                *p++ = static_cast<uint8_t>(u >> 8);
            }
        }
        const std::size_t bytes = static_cast<std::size_t>(p - out.data());
        ok = std::fwrite(out.data(), 1, bytes, f) == bytes;
        done += n;
    }
    ok = std::fclose(f) == 0 && ok;
    if (ok) {
        std::filesystem::rename(part, path, ec);
        ok = !ec;
    }
    if (!ok) {
        std::fprintf(stderr, "make_long_wav: cannot write %s\n", path.c_str());
        std::filesystem::remove(part, ec);
        return 1;
    }
    return 0;
}
