// The mono conversion on a file in memory: a stereo file becomes its mix with a consistent
// header, anything else keeps its bytes; now and then a real file, which must agree.
#include <sys/mman.h>
#include <unistd.h>

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

// The input as a file in memory, rewound: the conversion reads it as it reads a WAV on disk.
int MemoryFile(const uint8_t* data, std::size_t size) {
    static const int fd = memfd_create("kestrun-fuzz-mono", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(size == 0 || pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string before(reinterpret_cast<const char*>(data), size);
    const int fd = MemoryFile(data, size);
    kestrun::WavHeader planned{};
    const kestrun::MonoPlan plan = kestrun::PlanMono(fd, size, &planned);
    std::string after = before;
    if (plan == kestrun::MonoPlan::Mix) {
        after.clear();
        FUZZ_CHECK(kestrun::MixToMono(fd, planned, [&](const void* bytes, std::size_t n) {
            after.append(static_cast<const char*>(bytes), n);
            return true;
        }));
    }
    const bool ok = plan != kestrun::MonoPlan::Refuse;

    // One input in 64 also goes through a real file, which must come out as the memory
    // file did, and keep its bytes when refused.
    if (size % 64 == 0) {
        static const kestrun::fuzz::ScratchFile scratch("mono.wav");
        FUZZ_CHECK(kestrun::fuzz::WriteWhole(scratch.path(), before));
        FUZZ_CHECK(kestrun::ConvertToMono(scratch.path()) == ok);
        std::string inFile;
        FUZZ_CHECK(kestrun::fuzz::ReadWhole(scratch.path(), &inFile));
        FUZZ_CHECK(inFile == after);
    }

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
