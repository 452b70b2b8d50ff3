// Stereo-to-mono conversion: the header's checks, the mix of the stereo data read through
// the shared read buffer, and the file beside the original that replaces it in one rename.
#include "Mono.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <span>

#include "File.h"
#include "Path.h"
#include "ResultCodes.h"
#include "WavHeader.h"

namespace kestrun {
namespace {

constexpr uint32_t RIFF_SIZE_BEFORE_DATA = WAV_HEADER_BYTES - 8; // riffSize = dataSize + 36
// Stereo bytes read at a time, through the start of the shared read buffer. Small enough
// that a chunk and its mono half stay in the processor's cache from the read through the
// mix to the write: with 10 MiB chunks every byte went to memory and back twice more, and
// the conversion took twice as long. A multiple of 4, so no frame is split.
constexpr std::size_t MONO_READ_BYTES = 256 * 1024;
static_assert(MONO_READ_BYTES % 4 == 0 && MONO_READ_BYTES <= READ_CHUNK_BYTES);

// Byte by byte, so that the result is the same on a big-endian host.
int32_t LoadSample(const uint8_t* p) {
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

// (-1000, -3001) -> -2000: the sum cannot overflow 32 bits, and C++ division truncates
// toward zero, as the mix must. The read buffer's storage is int16_t, so on a
// little-endian host the samples are read as they lie, in a loop the compiler vectorises.
void MixFrames(const uint8_t* stereo, std::size_t frames, int16_t* mono) {
    if constexpr (std::endian::native == std::endian::little) {
        const auto* samples = reinterpret_cast<const int16_t*>(stereo);
        for (std::size_t i = 0; i < frames; ++i) {
            mono[i] = static_cast<int16_t>((int32_t{samples[2 * i]} + samples[2 * i + 1]) / 2);
        }
    } else {
        auto* out = reinterpret_cast<uint8_t*>(mono);
        for (std::size_t i = 0; i < frames; ++i) {
            const int32_t mixed = (LoadSample(stereo + 4 * i) + LoadSample(stereo + 4 * i + 2)) / 2;
            out[2 * i] = static_cast<uint8_t>(mixed);
            out[2 * i + 1] = static_cast<uint8_t>(static_cast<uint32_t>(mixed) >> 8);
        }
    }
}

} // namespace

MonoPlan PlanMono(int fd, uint64_t size, WavHeader* header) {
    const uint32_t fileSize32 = static_cast<uint32_t>(size);
    if (fileSize32 <= WAV_HEADER_BYTES) {
        return MonoPlan::Refuse;
    }
    uint8_t raw[WAV_HEADER_BYTES];
    if (!ReadFull(fd, raw, sizeof raw)) {
        return MonoPlan::Refuse;
    }
    *header = ParseWavHeader(std::span<const uint8_t, WAV_HEADER_BYTES>(raw));
    if (!IsAcceptedWavHeader(*header, fileSize32)) {
        return MonoPlan::Refuse;
    }
    if (header->nChannels != 2) {
        return MonoPlan::Keep; // mono, or no channels: nothing to mix
    }
    // The read would fall short anyway; failing now spares writing a doomed mono file.
    return header->dataSize > size - WAV_HEADER_BYTES ? MonoPlan::Refuse : MonoPlan::Mix;
}

// Each chunk is mixed into a small block and handed on, so no whole-file buffer is needed.
bool MixToMono(int fd, WavHeader header, const MonoWriteFn& write) {
    std::span<uint8_t> chunkBuffer;
    try {
        chunkBuffer = readBuffer(); // allocated on its first use
    } catch (const std::bad_alloc&) {
        return false;
    }
    const std::unique_ptr<int16_t[]> block(new (std::nothrow) int16_t[MONO_READ_BYTES / 4]);
    if (!block) {
        return false;
    }
    const uint32_t stereoBytes = header.dataSize;
    header.dataSize >>= 1;
    header.nAvgBytesPerSec >>= 1;
    header.nBlockAlign >>= 1;
    header.nChannels >>= 1;
    header.riffSize = header.dataSize + RIFF_SIZE_BEFORE_DATA;
    const auto headerBytes = SerializeWavHeader(header);
    if (!write(headerBytes.data(), headerBytes.size())) {
        return false;
    }
    uint32_t remaining = stereoBytes;
    while (remaining != 0) {
        // Chunks are a multiple of 4 bytes, so only the last can end inside a frame; its
        // 1 to 3 stray bytes are not mixed.
        const std::size_t chunk = std::min<std::size_t>(remaining, MONO_READ_BYTES);
        if (!ReadFull(fd, chunkBuffer.data(), chunk)) {
            return false;
        }
        MixFrames(chunkBuffer.data(), chunk / 4, block.get());
        if (!write(block.get(), 2 * (chunk / 4))) {
            return false;
        }
        remaining -= static_cast<uint32_t>(chunk);
    }
    // A data size of 4n + 2 or 4n + 3 leaves one byte of the mono data that no sample
    // covers.
    const uint8_t spare = 0;
    return header.dataSize % 2 == 0 || write(&spare, 1);
}

bool ConvertToMono(const std::string& path, std::string* why) {
    // Opened for writing although only read here: a file the user may not change fails
    // at once, mono or not, as the rewrite in place it stands for would have.
    FileProblem problem = FileProblem::None;
    ScopedFile file(OpenForReadWrite(path, &problem));
    if (problem != FileProblem::None && why != nullptr) {
        *why = FileProblemText(problem);
    }
    uint64_t size = 0;
    if (file.fd() < 0 || !DescriptorSize(file.fd(), &size)) {
        return false;
    }
    WavHeader header{};
    switch (PlanMono(file.fd(), size, &header)) {
    case MonoPlan::Refuse:
        return false;
    case MonoPlan::Keep:
        return true;
    case MonoPlan::Mix:
        break;
    }
    AdviseSequentialRead(file.fd());
    // The mono file is written beside the original and takes its place only once
    // complete, so the original stays intact whatever happens before.
    bool noSpace = false;
    bool mixed = false;
    {
        FileReplacement replacement;
        mixed = replacement.Open(path) &&
                MixToMono(
                    file.fd(), header,
                    [&](const void* data, std::size_t n) { return replacement.Write(data, n); }) &&
                replacement.Commit();
        noSpace = replacement.NoSpace();
    } // the replacement's blocks are free again before the space is measured
    if (!mixed) {
        const std::string folder(PathFolder(path));
        uint64_t free = 0;
        if (noSpace && why != nullptr && FreeBytes(folder.empty() ? "." : folder, &free)) {
            *why = DiskFullText(free, WAV_HEADER_BYTES + header.dataSize / 2 + header.dataSize % 2);
        }
        return false;
    }
    // The old file is gone from its folder; its space is given back while the job goes on.
    CloseFileInBackground(file.Release());
    return true;
}

} // namespace kestrun
