// bench_layout WAV: the load of other WAV layouts against the canonical 16-bit one. From
// the one-hour 16-bit WAV it writes (once, beside it, kept for reruns) the same audio in
// three files, all written alike: as a canonical 16-bit copy (byte for byte the original),
// as a 24-bit WAVE_FORMAT_EXTENSIBLE file with a fact chunk (each sample the 16-bit one
// shifted up by 8 bits with noise in its low byte, so the rule gives back the very same
// samples), and as a 16-bit file with a LIST chunk before the data, the way ffmpeg writes
// it (the layout reader, no conversion). Written alike because how a file lies in the page
// cache (large writes leave large folios, which read faster; a file read back from disk
// lies in small ones) changes how fast it reads, whatever its reader. Each is loaded by a
// process that only loads, in turn, page cache warm; the medians of 5 are compared.
// Target: the 24-bit load takes at most 1.5 times the 16-bit one (its file is 1.5 times
// larger). The loads must also agree: load_only prints the frame count, the loudest frame
// and a checksum of the energies.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ChildRun.h"
#include "WavHeader.h"

namespace {

constexpr int REPEATS = 5;
constexpr double TARGET_RATIO = 1.5;
// Frames written at a time, as make_long_wav writes them.
constexpr std::size_t STEP_FRAMES = 1 << 18;

enum class Layout { Canonical16, Extensible24, List16 };

using kestrun::bench::ChildRun;
using kestrun::bench::Median;

void Put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

void Tag(std::vector<uint8_t>& b, const char* tag) {
    b.insert(b.end(), tag, tag + 4);
}

struct Source {
    std::FILE* f = nullptr;
    kestrun::WavHeader h{};
    uint64_t frames = 0;
};

bool OpenSource(const std::string& path, Source* s) {
    s->f = std::fopen(path.c_str(), "rb");
    uint8_t raw[kestrun::WAV_HEADER_BYTES];
    if (s->f == nullptr || std::fread(raw, 1, sizeof raw, s->f) != sizeof raw) {
        return false;
    }
    s->h = kestrun::ParseWavHeader(std::span<const uint8_t, kestrun::WAV_HEADER_BYTES>(raw));
    if (s->h.wBitsPerSample != 16 || s->h.nChannels == 0) {
        return false;
    }
    s->frames = s->h.dataSize / (2u * s->h.nChannels);
    return true;
}

// Writes the 16-bit source in a layout. An existing file of the right size is kept.
bool WriteLayout(const std::string& src, const std::string& dst, Layout layout) {
    Source s;
    if (!OpenSource(src, &s)) {
        std::fprintf(stderr, "bench_layout: %s is not a canonical 16-bit WAV\n", src.c_str());
        return false;
    }
    const int bits = layout == Layout::Extensible24 ? 24 : 16;
    const uint16_t channels = s.h.nChannels;
    const uint16_t bytes = static_cast<uint16_t>(bits / 8);
    const uint16_t align = static_cast<uint16_t>(channels * bytes);
    const uint64_t dataSize = s.frames * align;
    std::vector<uint8_t> head;
    Tag(head, "RIFF");
    Put32(head, 0); // below
    Tag(head, "WAVE");
    Tag(head, "fmt ");
    if (bits == 24) {
        Put32(head, 40);
        Put16(head, 0xFFFE);
    } else {
        Put32(head, 16);
        Put16(head, 1);
    }
    Put16(head, channels);
    Put32(head, s.h.nSamplesPerSec);
    Put32(head, s.h.nSamplesPerSec * align);
    Put16(head, align);
    Put16(head, static_cast<uint16_t>(bits));
    if (bits == 24) {
        Put16(head, 22);
        Put16(head, 24);
        Put32(head, channels == 2 ? 3 : 4);
        const uint8_t pcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        head.insert(head.end(), pcm, pcm + 16);
        Tag(head, "fact");
        Put32(head, 4);
        Put32(head, static_cast<uint32_t>(s.frames));
    } else if (layout == Layout::List16) {
        Tag(head, "LIST");
        Put32(head, 26);
        const char info[] = "INFOISFT\x0e\x00\x00\x00Lavf59.27.100\x00";
        head.insert(head.end(), info, info + 26);
    }
    Tag(head, "data");
    Put32(head, static_cast<uint32_t>(dataSize));
    const uint64_t total = head.size() + dataSize + (dataSize & 1);
    for (int i = 0; i < 4; ++i) {
        head[4 + i] = static_cast<uint8_t>((total - 8) >> (8 * i));
    }
    std::error_code ec;
    if (std::filesystem::file_size(dst, ec) == total && !ec) {
        std::fclose(s.f);
        return true;
    }
    std::printf("bench_layout: writing %s, once\n", dst.c_str());
    std::FILE* out = std::fopen(dst.c_str(), "wb");
    bool ok = out != nullptr && std::fwrite(head.data(), 1, head.size(), out) == head.size();
    std::vector<uint8_t> in(STEP_FRAMES * 2 * channels);
    std::vector<uint8_t> conv(STEP_FRAMES * align);
    uint32_t noise = 12345;
    for (uint64_t left = s.frames; ok && left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(left, STEP_FRAMES));
        ok = std::fread(in.data(), 1, n * 2 * channels, s.f) == n * 2 * channels;
        std::size_t o = 0;
        for (std::size_t k = 0; k < n * channels; ++k) {
            if (bits == 24) {
                noise = noise * 1664525u + 1013904223u;
                conv[o++] = static_cast<uint8_t>(noise >> 24);
            }
            conv[o++] = in[2 * k];
            conv[o++] = in[2 * k + 1];
        }
        ok = ok && std::fwrite(conv.data(), 1, o, out) == o;
        left -= n;
    }
    if (ok && (dataSize & 1) != 0) {
        ok = std::fputc(0, out) != EOF;
    }
    ok = out != nullptr && std::fclose(out) == 0 && ok;
    std::fclose(s.f);
    if (!ok) {
        std::fprintf(stderr, "bench_layout: cannot write %s\n", dst.c_str());
        std::filesystem::remove(dst, ec);
    }
    return ok;
}

// Reads the whole file once in 1 MiB steps (so every timed run finds it in the page
// cache); the seconds it took, or a negative number.
double ReadThrough(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return -1.0;
    }
    std::setvbuf(f, nullptr, _IONBF, 0);
    std::vector<char> buf(1 << 20);
    const auto t0 = std::chrono::steady_clock::now();
    while (std::fread(buf.data(), 1, buf.size(), f) == buf.size()) {
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::fclose(f);
    return seconds;
}

std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_layout WAV\n");
        return 2;
    }
    const std::filesystem::path wav = argv[1];
    const std::string stem = (wav.parent_path() / wav.stem()).string();
    const std::string wav24 = stem + "-24bit.wav";
    const std::string wavList = stem + "-list.wav";
    const std::string wav16 = stem + "-16bit.wav";
    if (!WriteLayout(wav.string(), wav16, Layout::Canonical16) ||
        !WriteLayout(wav.string(), wav24, Layout::Extensible24) ||
        !WriteLayout(wav.string(), wavList, Layout::List16)) {
        return 1;
    }
    const std::string files[3] = {wav16, wav24, wavList};
    for (const std::string& f : files) {
        if (ReadThrough(f) < 0) {
            std::fprintf(stderr, "bench_layout: cannot read %s\n", f.c_str());
            return 1;
        }
    }
    // How fast the page cache gives each file back: it depends on how the file lies there
    // (large folios read faster), which is outside the loader's reach.
    std::vector<double> reads[2];
    for (int r = 0; r < REPEATS; ++r) {
        reads[0].push_back(ReadThrough(files[0]));
        reads[1].push_back(ReadThrough(files[1]));
    }
    const std::string out = stem + "-layout.out";
    std::vector<double> times[3];
    std::string lines[3];
    bool ok = true;
    for (int r = 0; r < REPEATS && ok; ++r) {
        for (int i = 0; i < 3 && ok; ++i) {
            const ChildRun c = kestrun::bench::RunChild({LOAD_ONLY, files[i]}, out, "bench_layout");
            ok = c.ok;
            times[i].push_back(c.seconds);
            lines[i] = FirstLine(out);
        }
    }
    std::error_code ec;
    std::filesystem::remove(out, ec);
    if (!ok) {
        std::printf("P2b FAILED: a load failed (see above)\n");
        return 1;
    }
    const double t16 = Median(times[0]);
    const double t24 = Median(times[1]);
    const double tList = Median(times[2]);
    const bool same = lines[0] == lines[1] && lines[0] == lines[2];
    std::printf("P2b load of the same hour as 24-bit (WAVE_FORMAT_EXTENSIBLE, %.0f MB): %.3f s "
                "against %.3f s as canonical 16-bit, median of %d; ratio %.2fx (target <= %.1fx: "
                "%s)\n",
                static_cast<double>(std::filesystem::file_size(wav24, ec)) / 1e6, t24, t16, REPEATS,
                t24 / t16, TARGET_RATIO, t24 / t16 <= TARGET_RATIO ? "met" : "NOT MET");
    std::printf("P2b   as 16-bit with a LIST chunk before the data (the layout reader, no "
                "conversion): %.3f s, %.2fx\n",
                tList, tList / t16);
    const double r16 = Median(reads[0]);
    const double r24 = Median(reads[1]);
    std::printf("P2b   reading alone (read() in 1 MiB steps, in this process): 16-bit %.3f s, "
                "24-bit %.3f s, %.2fx\n",
                r16, r24, r24 / r16);
    std::printf("P2b   the three loads agree: %s (%s)\n", same ? "yes" : "NO", lines[0].c_str());
    return same ? 0 : 1;
}
