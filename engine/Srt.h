// Cue text: SRT's timestamps and layout, the other formats a cue list can be written in,
// and the safe file write.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "SegmentList.h"

namespace kestrun {

//  10000 -> "00:00:10,000";  360000000 -> "100:00:00,000";  -35 -> "00:00:00,035"
std::string FormatTime(int32_t ms);

// "HH:MM:SS,mmm --> HH:MM:SS,mmm\r\n", line end included.
std::string FormatTimeRange(int32_t start, int32_t end);

// The whole SRT text: for cue n, "n\r\n", the time line, "n\r\n\r\n". No header, no
// trailer; no segments give an empty text.
std::string BuildSrt(std::span<const Segment> segments);

// The formats a cue list can be written in. Each cue carries its number as its text where
// the format has a text.
enum class CueFormat {
    Srt,    // as BuildSrt
    WebVtt, // "WEBVTT", a blank line, then per cue "n\n00:00:01.500 --> 00:00:02.250\nn\n\n"
    Labels, // an Audacity label track: per cue "1.500000\t2.250000\tn\n"
    Csv,    // "start,end\n", then per cue "1.500,2.250\n" (seconds)
};

// Every format, in the enum's order.
constexpr CueFormat CUE_FORMAT_LIST[] = {CueFormat::Srt, CueFormat::WebVtt, CueFormat::Labels,
                                         CueFormat::Csv};

// "srt", "vtt", "labels", "csv": the names on kestrun-cli's command line.
bool ParseCueFormat(std::string_view name, CueFormat* format);
std::string_view CueFormatName(CueFormat format);
// With its dot: ".srt", ".vtt", ".txt" (as Audacity names label files), ".csv".
std::string_view CueFormatExtension(CueFormat format);

// The whole text of the cues in a format. Line ends are SRT's "\r\n", else "\n".
std::string BuildCues(CueFormat format, std::span<const Segment> segments);

// Writes data to a temporary file beside path and renames it over path only when every
// byte was written, so a failed write never leaves a half-written file or destroys an
// older one. On failure returns false with a short reason in *error.
bool WriteFileReplacing(const std::string& path, std::string_view data, std::string* error);

// A way of putting a file in place that WriteFileReplacing hands its work to, with the
// same promise: the program's platform layer can make the new file without a name until
// it is complete, so that a process killed midway leaves no temporary file behind, which
// standard C++ cannot. Null (the default) keeps the engine's own way.
using FileReplacer = bool (*)(const std::string& path, std::string_view data, std::string* error);
void SetFileReplacer(FileReplacer replacer);

} // namespace kestrun
