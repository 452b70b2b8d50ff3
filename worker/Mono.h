// Stereo-to-mono conversion of a WAV file, replacing the file with its mono version.
#pragma once

#include <string>

namespace kestrun {

// Replaces a stereo 16-bit WAV by its mono mix: each sample pair becomes (left + right) / 2,
// summed in 32 bits and truncated toward zero. The header must pass the same tests as the
// engine's load, and no more than two channels; a mono file (or one of 0 channels) is left
// as it is and counts as success. Any data after the sample data is dropped. On any
// failure (unreadable, refused, not writable, disk full) returns false and the file keeps
// its former bytes; *why then names a path that is no regular file or a full disk.
bool ConvertToMono(const std::string& path, std::string* why = nullptr);

} // namespace kestrun
