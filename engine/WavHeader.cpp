// WAV header decoding, encoding and acceptance, and the per-thread read buffer.
#include "WavHeader.h"

#include <cstring>
#include <memory>

namespace kestrun {
namespace {

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

} // namespace

WavHeader ParseWavHeader(std::span<const uint8_t, WAV_HEADER_BYTES> bytes) {
    const uint8_t* b = bytes.data();
    WavHeader h;
    std::memcpy(h.riffTag.data(), b + 0, 4);
    h.riffSize = Le32(b + 4);
    std::memcpy(h.waveTag.data(), b + 8, 4);
    std::memcpy(h.fmtTag.data(), b + 12, 4);
    h.fmtSize = Le32(b + 16);
    h.wFormatTag = Le16(b + 20);
    h.nChannels = Le16(b + 22);
    h.nSamplesPerSec = Le32(b + 24);
    h.nAvgBytesPerSec = Le32(b + 28);
    h.nBlockAlign = Le16(b + 32);
    h.wBitsPerSample = Le16(b + 34);
    std::memcpy(h.dataTag.data(), b + 36, 4);
    h.dataSize = Le32(b + 40);
    return h;
}

std::array<uint8_t, WAV_HEADER_BYTES> SerializeWavHeader(const WavHeader& h) {
    std::array<uint8_t, WAV_HEADER_BYTES> out{};
    uint8_t* b = out.data();
    std::memcpy(b + 0, h.riffTag.data(), 4);
    Put32(b + 4, h.riffSize);
    std::memcpy(b + 8, h.waveTag.data(), 4);
    std::memcpy(b + 12, h.fmtTag.data(), 4);
    Put32(b + 16, h.fmtSize);
    Put16(b + 20, h.wFormatTag);
    Put16(b + 22, h.nChannels);
    Put32(b + 24, h.nSamplesPerSec);
    Put32(b + 28, h.nAvgBytesPerSec);
    Put16(b + 32, h.nBlockAlign);
    Put16(b + 34, h.wBitsPerSample);
    std::memcpy(b + 36, h.dataTag.data(), 4);
    Put32(b + 40, h.dataSize);
    return out;
}

WavHeader CanonicalWavHeader(uint16_t channels, uint32_t sampleRate, uint32_t dataSize) {
    WavHeader h;
    std::memcpy(h.riffTag.data(), "RIFF", 4);
    h.riffSize = dataSize + static_cast<uint32_t>(WAV_HEADER_BYTES) - 8;
    std::memcpy(h.waveTag.data(), "WAVE", 4);
    std::memcpy(h.fmtTag.data(), "fmt ", 4);
    h.fmtSize = 16;
    h.wFormatTag = 1;
    h.nChannels = channels;
    h.nSamplesPerSec = sampleRate;
    h.nBlockAlign = static_cast<uint16_t>(channels * 2);
    h.nAvgBytesPerSec = sampleRate * h.nBlockAlign;
    h.wBitsPerSample = 16;
    std::memcpy(h.dataTag.data(), "data", 4);
    h.dataSize = dataSize;
    return h;
}

bool IsAcceptedWavHeader(const WavHeader& h, uint32_t fileSize32) {
    if (h.riffSize != fileSize32 - 8u) {
        return false;
    }
    if (h.wFormatTag != 1) {
        return false;
    }
    if (std::memcmp(h.riffTag.data(), "RIFF", 4) != 0) {
        return false;
    }
    // Only "WAVEfmt" is compared: the byte after "fmt" is not looked at.
    if (std::memcmp(h.waveTag.data(), "WAVE", 4) != 0 ||
        std::memcmp(h.fmtTag.data(), "fmt", 3) != 0) {
        return false;
    }
    if (h.nChannels > 2) {
        return false;
    }
    // A longer format chunk, or other chunks before the data, would put something else
    // at bytes 40..43 than the data size: refuse rather than analyse the wrong bytes.
    if (std::memcmp(h.dataTag.data(), "data", 4) != 0) {
        return false;
    }
    // Every frame-to-time conversion divides by the rate.
    return h.nSamplesPerSec != 0;
}

std::span<uint8_t> readBuffer() {
    // Stored as 16-bit words so that readers can also walk it as samples. One per thread,
    // so that workers loading at the same time never share it.
    thread_local std::unique_ptr<int16_t[]> buffer;
    if (!buffer) {
        buffer.reset(new int16_t[READ_CHUNK_BYTES / 2]);
    }
    return {reinterpret_cast<uint8_t*>(buffer.get()), READ_CHUNK_BYTES};
}

} // namespace kestrun
