// The 44-byte header: decoding and encoding are exact inverses, and acceptance follows
// the file size rules, alone and as the file resolver applies them.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "FuzzUtil.h"
#include "WavFormat.h"
#include "WavHeader.h"

namespace {

using kestrun::WAV_HEADER_BYTES;

bool SameHeader(const kestrun::WavHeader& a, const kestrun::WavHeader& b) {
    return kestrun::SerializeWavHeader(a) == kestrun::SerializeWavHeader(b);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < WAV_HEADER_BYTES) {
        return 0;
    }
    const std::span<const uint8_t, WAV_HEADER_BYTES> raw(data, WAV_HEADER_BYTES);
    const kestrun::WavHeader h = kestrun::ParseWavHeader(raw);
    // Bytes -> header -> bytes is the identity, and so header -> bytes -> header.
    const auto bytes = kestrun::SerializeWavHeader(h);
    FUZZ_CHECK(std::memcmp(bytes.data(), data, WAV_HEADER_BYTES) == 0);
    FUZZ_CHECK(SameHeader(kestrun::ParseWavHeader(bytes), h));

    // The whole input is the file: acceptance is the RIFF size against its size.
    const uint32_t fileSize32 = static_cast<uint32_t>(size);
    const bool accepted = kestrun::IsAcceptedWavHeader(h, fileSize32);
    if (accepted) {
        FUZZ_CHECK(h.riffSize == fileSize32 - 8u);
        FUZZ_CHECK(h.wFormatTag == 1 && h.nChannels <= 2 && h.nSamplesPerSec != 0);
        FUZZ_CHECK(std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "WAVEfmt", 7) == 0);
        FUZZ_CHECK(std::memcmp(data + 36, "data", 4) == 0);
        // Any other file size is refused (the comparison is in 32 bits).
        FUZZ_CHECK(!kestrun::IsAcceptedWavHeader(h, fileSize32 + 1));
        FUZZ_CHECK(!kestrun::IsAcceptedWavHeader(h, fileSize32 - 1));
    }

    // The resolver takes the 16-bit path exactly for an accepted 16-bit header with
    // channels and a data size the file holds.
    std::FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    FUZZ_CHECK(f != nullptr);
    const kestrun::WavResolution r = kestrun::ResolveWavFile(f, size);
    std::fclose(f);
    const bool canonical = accepted && size > WAV_HEADER_BYTES && h.nChannels != 0 &&
                           h.wBitsPerSample == 16 && h.dataSize <= size - WAV_HEADER_BYTES;
    FUZZ_CHECK(r.canonical16 == canonical);
    if (canonical) {
        FUZZ_CHECK(r.ok && SameHeader(r.header, h));
        FUZZ_CHECK(r.layout.frames == h.dataSize / (2u * h.nChannels));
    }
    if (accepted && size > WAV_HEADER_BYTES && h.nChannels != 0 && h.wBitsPerSample == 16 &&
        !canonical) {
        FUZZ_CHECK(!r.ok && !r.why.empty()); // data shorter than the header says
    }
    if (!r.ok) {
        FUZZ_CHECK(!r.why.empty());
    }

    // A canonical header of the same fields is accepted for exactly its own file size,
    // and the resolved layout turns back into the canonical header of its frames.
    const uint16_t channels = h.nChannels % 3;
    if (channels != 0 && h.nSamplesPerSec != 0 && h.dataSize <= UINT32_MAX - WAV_HEADER_BYTES) {
        const kestrun::WavHeader c =
            kestrun::CanonicalWavHeader(channels, h.nSamplesPerSec, h.dataSize);
        const uint32_t ownSize = h.dataSize + static_cast<uint32_t>(WAV_HEADER_BYTES);
        FUZZ_CHECK(kestrun::IsAcceptedWavHeader(c, ownSize));
        FUZZ_CHECK(!kestrun::IsAcceptedWavHeader(c, ownSize + 1));
        FUZZ_CHECK(c.nBlockAlign == 2 * channels && c.wBitsPerSample == 16 && c.fmtSize == 16);
    }
    if (r.ok) {
        const kestrun::WavHeader back = kestrun::CanonicalHeaderFor(r.layout);
        FUZZ_CHECK(kestrun::IsAcceptedWavHeader(back, back.dataSize + 44u));
        FUZZ_CHECK(back.dataSize % (2u * r.layout.outChannels) == 0);
        FUZZ_CHECK(back.dataSize / (2u * r.layout.outChannels) <= r.layout.frames);
    }
    return 0;
}
