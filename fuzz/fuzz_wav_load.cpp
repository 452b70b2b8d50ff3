// The WAV loader on arbitrary bytes: the same bytes loaded from memory and from a file, the
// load against the resolution of the header alone, and the energies against a plain
// recomputation from the general frame reader.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzUtil.h"
#include "VadEngine.h"
#include "WavFormat.h"

namespace {

struct StreamCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using StreamPtr = std::unique_ptr<std::FILE, StreamCloser>;

// The bytes as a read-only stream; glibc's fmemopen refuses an empty buffer, so an empty
// input is given a one-byte buffer of which no byte is ever read.
StreamPtr MemoryStream(const uint8_t* data, std::size_t size) {
    static const char one = 0;
    void* bytes = size == 0 ? static_cast<void*>(const_cast<char*>(&one))
                            : static_cast<void*>(const_cast<uint8_t*>(data));
    return StreamPtr(fmemopen(bytes, size == 0 ? 1 : size, "rb"));
}

uint32_t Fnv1a(const uint8_t* data, std::size_t size) {
    uint32_t h = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) {
        h = (h ^ data[i]) * 16777619u;
    }
    return h;
}

bool SameArray(const kestrun::FrameArray* a, const kestrun::FrameArray* b) {
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    return a->size() == b->size() &&
           (a->empty() || std::memcmp(a->data(), b->data(), a->size() * sizeof(double)) == 0);
}

// Energies as the engine defines them, one frame at a time: the sum of the squares of the
// window's samples (those past the end count as 0), added in order in a double, which is
// exact wherever the engine's integer sums are.
void CheckEnergies(const kestrun::CVadEngine& engine, std::FILE* f,
                   const kestrun::WavLayout& layout) {
    const unsigned channels = layout.outChannels;
    std::vector<int16_t> samples[2];
    kestrun::WavFrameReader reader(f, layout, 4096);
    const int16_t* p = nullptr;
    std::size_t n = 0;
    bool ok = true;
    while ((ok = reader.Next(&p, &n)) && n > 0) {
        for (std::size_t k = 0; k < n; ++k) {
            for (unsigned c = 0; c < channels; ++c) {
                samples[c].push_back(p[k * channels + c]);
            }
        }
    }
    FUZZ_CHECK(ok);
    FUZZ_CHECK(samples[0].size() == engine.sampleCount());
    const std::size_t fl = engine.frameLength();
    const std::size_t wl = engine.windowLength();
    double most = 0.0;
    for (unsigned c = 0; c < channels; ++c) {
        const kestrun::FrameArray* energy = engine.energy(static_cast<int>(c));
        FUZZ_CHECK(energy != nullptr && energy->size() == engine.frameCount());
        for (std::size_t i = 0; i < energy->size(); ++i) {
            const std::size_t from = i * fl;
            const std::size_t to = std::min(from + wl, samples[c].size());
            double e = 0.0;
            for (std::size_t k = from; k < to; ++k) {
                const double s = samples[c][k];
                e += s * s;
            }
            FUZZ_CHECK((*energy)[i] == e);
            most = std::max(most, e);
        }
    }
    FUZZ_CHECK(engine.maxEnergy() == most);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const kestrun::fuzz::ScratchFile scratch("load.wav");
    const std::string& path = scratch.path();
    StreamPtr memory = MemoryStream(data, size);
    FUZZ_CHECK(memory != nullptr);

    kestrun::CVadEngine fromMemory;
    std::string whyMemory;
    const bool ok = fromMemory.LoadWavStream(memory.get(), size, &whyMemory);

    FUZZ_CHECK(fromMemory.IsLoaded() == ok);

    // The header alone decides: what resolves is loaded, what does not is refused.
    const kestrun::WavResolution r = kestrun::ResolveWavFile(memory.get(), size);
    FUZZ_CHECK(r.ok == ok);

    // The same bytes through a named file: the same outcome, to the bit and the message.
    // System calls cost a hundred times the load of a small input, so one input in eight,
    // chosen by its bytes (a saved input reproduces), goes through a file too.
    if (Fnv1a(data, size) % 8 == 0) {
        FUZZ_CHECK(kestrun::fuzz::WriteWhole(
            path, std::string_view(reinterpret_cast<const char*>(data), size)));
        kestrun::CVadEngine fromFile;
        std::string whyFile;
        FUZZ_CHECK(fromFile.LoadWav(path, &whyFile) == ok);
        FUZZ_CHECK(whyFile == whyMemory);
        const kestrun::WavProbe probe = kestrun::ProbeWavFile(path);
        FUZZ_CHECK(probe.ok == ok);
        FUZZ_CHECK(!ok || probe.canonical16 == r.canonical16);
        FUZZ_CHECK(fromFile.sampleCount() == fromMemory.sampleCount());
        FUZZ_CHECK(fromFile.frameCount() == fromMemory.frameCount());
        FUZZ_CHECK(fromFile.maxEnergy() == fromMemory.maxEnergy());
        FUZZ_CHECK(kestrun::SerializeWavHeader(fromFile.header()) ==
                   kestrun::SerializeWavHeader(fromMemory.header()));
        for (int c = 0; c < 2; ++c) {
            FUZZ_CHECK(SameArray(fromFile.energy(c), fromMemory.energy(c)));
        }
    }

    if (!ok) {
        // A refused file leaves nothing behind, and says why.
        FUZZ_CHECK(!whyMemory.empty());
        FUZZ_CHECK(fromMemory.energy(0) == nullptr && fromMemory.energy(1) == nullptr);
        FUZZ_CHECK(fromMemory.workBuf(0) == nullptr && fromMemory.workBuf(1) == nullptr);
        return 0;
    }
    // No more frames than the data holds, and the frame geometry of the rate.
    const kestrun::WavLayout& l = r.layout;
    FUZZ_CHECK(l.outChannels == 1 || l.outChannels == 2);
    FUZZ_CHECK(fromMemory.sampleCount() == l.frames);
    FUZZ_CHECK(l.dataOffset <= size);
    FUZZ_CHECK(l.frames * l.blockAlign <= size - l.dataOffset);
    FUZZ_CHECK(fromMemory.frameLength() == l.sampleRate / 115 + 1);
    FUZZ_CHECK(fromMemory.frameCount() == fromMemory.sampleCount() / fromMemory.frameLength());
    FUZZ_CHECK((fromMemory.energy(1) != nullptr) == (l.outChannels == 2));

    // The header the engine reports: the file's own on the 16-bit path, else the
    // canonical one of the converted data.
    const kestrun::WavHeader expected = r.canonical16 ? r.header : kestrun::CanonicalHeaderFor(l);
    FUZZ_CHECK(kestrun::SerializeWavHeader(fromMemory.header()) ==
               kestrun::SerializeWavHeader(expected));

    // The engine's own accumulation against the general reader's frames.
    CheckEnergies(fromMemory, memory.get(), l);

    // Where the 16-bit path and the general parser both read a plain 16-bit file, they
    // see the same samples in the same place.
    const kestrun::WavHeader& h = r.header;
    if (r.canonical16 && h.fmtSize == 16 && std::memcmp(h.fmtTag.data(), "fmt ", 4) == 0 &&
        h.nBlockAlign == 2 * h.nChannels) {
        kestrun::WavLayout general;
        std::string ignored;
        if (kestrun::ParseGrowingWav(memory.get(), &general, &ignored) == kestrun::WavParse::Ok) {
            FUZZ_CHECK(kestrun::SameSampleLayout(general, l));
        }
    }
    return 0;
}
