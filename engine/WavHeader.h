// The canonical 44-byte RIFF/WAVE PCM header shared by everything that reads or
// writes WAV files, and the per-thread chunk buffer that WAV data is read through.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrun {

constexpr std::size_t WAV_HEADER_BYTES = 44;

// 10 MiB, a multiple of 4 so that no stereo sample frame is split across two chunks.
constexpr std::size_t READ_CHUNK_BYTES = 10 * 1024 * 1024;

// Little-endian fields as host integers, whatever the host.
inline uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct WavHeader {
    std::array<char, 4> riffTag{}; // "RIFF"
    uint32_t riffSize = 0;         // file size - 8
    std::array<char, 4> waveTag{}; // "WAVE"
    std::array<char, 4> fmtTag{};  // "fmt "
    uint32_t fmtSize = 0;          // 16
    uint16_t wFormatTag = 0;       // 1 = PCM
    uint16_t nChannels = 0;
    uint32_t nSamplesPerSec = 0;
    uint32_t nAvgBytesPerSec = 0;
    uint16_t nBlockAlign = 0;
    uint16_t wBitsPerSample = 0;
    std::array<char, 4> dataTag{}; // "data"
    uint32_t dataSize = 0;         // bytes of sample data after the header
};

// Decodes the 44 header bytes field by field (little-endian, whatever the host).
WavHeader ParseWavHeader(std::span<const uint8_t, WAV_HEADER_BYTES> bytes);
std::array<uint8_t, WAV_HEADER_BYTES> SerializeWavHeader(const WavHeader& h);

// The header of a 16-bit PCM file with dataSize bytes of samples right after it.
WavHeader CanonicalWavHeader(uint16_t channels, uint32_t sampleRate, uint32_t dataSize);

// The header tests a WAV must pass before its samples are read: the RIFF size matches
// the file size (both in 32 bits), PCM, the "RIFF" and "WAVEfmt" tags, at most two
// channels, a "data" tag right behind the format chunk, and a non-zero sample rate.
// fileSize32 is the low 32 bits of the file size.
bool IsAcceptedWavHeader(const WavHeader& h, uint32_t fileSize32);

// The calling thread's read buffer of READ_CHUNK_BYTES bytes, allocated on the thread's
// first use (std::bad_alloc when it cannot be) and kept until the thread ends. Each thread
// that loads or converts (several workers may load at once in one process) has its own,
// used by one caller at a time: a load, or a mono conversion, never both at once. Its
// storage is int16_t, so it may be walked as 16-bit samples too.
std::span<uint8_t> readBuffer();

} // namespace kestrun
