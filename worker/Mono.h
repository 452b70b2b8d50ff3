// Stereo-to-mono conversion of a WAV file, replacing the file with its mono version.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "WavHeader.h"

namespace kestrun {

// Replaces a stereo 16-bit WAV by its mono mix: each sample pair becomes (left + right) / 2,
// summed in 32 bits and truncated toward zero. The header must pass the same tests as the
// engine's load, and no more than two channels; a mono file (or one of 0 channels) is left
// as it is and counts as success. Any data after the sample data is dropped. On any
// failure (unreadable, refused, not writable, disk full) returns false and the file keeps
// its former bytes; *why then names a path that is no regular file or a full disk.
bool ConvertToMono(const std::string& path, std::string* why = nullptr);

// The conversion's two steps on an open file, for a caller that keeps the mono file
// elsewhere (and for checks that must not touch a disk).
enum class MonoPlan {
    Refuse, // the header fails the tests, or the data run past the end of the file
    Keep,   // nothing to mix
    Mix,
};
// fd stands at the start of a file of size bytes; reads its header into *header and
// leaves fd right after it.
MonoPlan PlanMono(int fd, uint64_t size, WavHeader* header);
// Reads the stereo data after the header PlanMono took as Mix, and hands the whole mono
// file, header first, to write in order. False when a read falls short or write fails.
using MonoWriteFn = std::function<bool(const void* data, std::size_t size)>;
bool MixToMono(int fd, WavHeader header, const MonoWriteFn& write);

} // namespace kestrun
