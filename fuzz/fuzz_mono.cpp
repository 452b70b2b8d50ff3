// The mono conversion on a file on a memory file system: a stereo file becomes its mix
// with a consistent header, anything else keeps its bytes.
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "FuzzUtil.h"
#include "Mono.h"
#include "WavHeader.h"

namespace {

using kestrun::WAV_HEADER_BYTES;

int32_t Sample(const std::string& bytes, std::size_t at) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) |
                                                      (static_cast<uint8_t>(bytes[at + 1]) << 8)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const kestrun::fuzz::ScratchFile scratch("mono.wav");
    const std::string& path = scratch.path();
    const std::string before(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(kestrun::fuzz::WriteWhole(path, before));
    const bool ok = kestrun::ConvertToMono(path);
    std::string after;
    FUZZ_CHECK(kestrun::fuzz::ReadWhole(path, &after));

    // What the conversion takes: the engine's header tests and data the file holds.
    bool accepted = false;
    kestrun::WavHeader h{};
    if (size > WAV_HEADER_BYTES) {
        h = kestrun::ParseWavHeader(std::span<const uint8_t, WAV_HEADER_BYTES>(data, 44));
        accepted = kestrun::IsAcceptedWavHeader(h, static_cast<uint32_t>(size));
    }
    const bool stereo = accepted && h.nChannels == 2 && h.dataSize <= size - WAV_HEADER_BYTES;
    FUZZ_CHECK(ok == (stereo || (accepted && h.nChannels != 2)));
    if (!stereo) {
        // Refused, or nothing to mix: the file is left byte for byte.
        FUZZ_CHECK(after == before);
        return 0;
    }

    // Half the data, the header's sizes following it, every other field kept.
    const uint32_t monoBytes = h.dataSize >> 1;
    const std::size_t frames = h.dataSize / 4;
    FUZZ_CHECK(after.size() == WAV_HEADER_BYTES + 2 * frames + (monoBytes % 2));
    const kestrun::WavHeader m = kestrun::ParseWavHeader(std::span<const uint8_t, WAV_HEADER_BYTES>(
        reinterpret_cast<const uint8_t*>(after.data()), WAV_HEADER_BYTES));
    FUZZ_CHECK(m.dataSize == monoBytes);
    FUZZ_CHECK(m.riffSize == monoBytes + 36);
    FUZZ_CHECK(m.nChannels == 1);
    FUZZ_CHECK(m.nBlockAlign == h.nBlockAlign >> 1);
    FUZZ_CHECK(m.nAvgBytesPerSec == h.nAvgBytesPerSec >> 1);
    FUZZ_CHECK(m.nSamplesPerSec == h.nSamplesPerSec && m.wBitsPerSample == h.wBitsPerSample);
    FUZZ_CHECK(m.wFormatTag == h.wFormatTag && m.fmtSize == h.fmtSize);
    FUZZ_CHECK(std::memcmp(after.data(), before.data(), 4) == 0);
    FUZZ_CHECK(std::memcmp(after.data() + 8, before.data() + 8, 8) == 0);
    FUZZ_CHECK(std::memcmp(after.data() + 36, before.data() + 36, 4) == 0);
    // The converted file passes the same tests, so a second conversion leaves it alone.
    FUZZ_CHECK(kestrun::IsAcceptedWavHeader(m, static_cast<uint32_t>(after.size())));

    // (L + R) / 2 in 32 bits, truncated toward zero; the spare byte is 0.
    for (std::size_t i = 0; i < frames; ++i) {
        const int32_t left = Sample(before, WAV_HEADER_BYTES + 4 * i);
        const int32_t right = Sample(before, WAV_HEADER_BYTES + 4 * i + 2);
        FUZZ_CHECK(Sample(after, WAV_HEADER_BYTES + 2 * i) == (left + right) / 2);
    }
    if (monoBytes % 2 != 0) {
        FUZZ_CHECK(after.back() == '\0');
    }
    return 0;
}
