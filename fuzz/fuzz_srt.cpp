// The SRT text of random segment lists, parsed back: cues numbered from 1, every time
// "HH:MM:SS,mmm" giving back its milliseconds, and, after a detection run's
// post-processing of what a detector can give, starts that never decrease.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzUtil.h"
#include "SegmentList.h"
#include "Srt.h"

namespace {

// Digits only, at least minDigits of them; the value, or -1.
int64_t Number(std::string_view text, std::size_t minDigits) {
    if (text.size() < minDigits || text.size() > 12) {
        return -1;
    }
    int64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return -1;
        }
        n = n * 10 + (c - '0');
    }
    return n;
}

// "HH:MM:SS,mmm" (hours of two digits or more) to milliseconds, or -1.
int64_t ParseTime(std::string_view t) {
    const std::size_t c1 = t.find(':');
    if (c1 == std::string_view::npos || t.size() != c1 + 10 || t[c1 + 3] != ':' ||
        t[c1 + 6] != ',') {
        return -1;
    }
    const int64_t h = Number(t.substr(0, c1), 2);
    const int64_t m = Number(t.substr(c1 + 1, 2), 2);
    const int64_t s = Number(t.substr(c1 + 4, 2), 2);
    const int64_t ms = Number(t.substr(c1 + 7, 3), 3);
    if (h < 0 || m < 0 || m > 59 || s < 0 || s > 59 || ms < 0) {
        return -1;
    }
    // Hours of more than two digits carry no leading zero.
    if (c1 > 2 && t[0] == '0') {
        return -1;
    }
    return ((h * 60 + m) * 60 + s) * 1000 + ms;
}

// What a time prints as: its magnitude; -1 (no time) for INT32_MIN, whose negation wraps
// back to itself as in 32-bit hardware and prints with negative fields, as it always has.
int64_t Magnitude(int32_t v) {
    if (v == INT32_MIN) {
        return -1;
    }
    return v < 0 ? -static_cast<int64_t>(v) : v;
}

// Parses the text back into its cues' times; checks the layout as it goes.
std::vector<std::pair<int64_t, int64_t>> ParseSrt(std::string_view text) {
    std::vector<std::pair<int64_t, int64_t>> cues;
    while (!text.empty()) {
        const std::string number = std::to_string(cues.size() + 1);
        const std::string_view head = text.substr(0, number.size() + 2);
        FUZZ_CHECK(head == number + "\r\n");
        text.remove_prefix(head.size());
        const std::size_t eol = text.find("\r\n");
        FUZZ_CHECK(eol != std::string_view::npos);
        const std::string_view line = text.substr(0, eol);
        const std::size_t arrow = line.find(" --> ");
        FUZZ_CHECK(arrow != std::string_view::npos);
        const int64_t start = ParseTime(line.substr(0, arrow));
        const int64_t end = ParseTime(line.substr(arrow + 5));
        text.remove_prefix(eol + 2);
        FUZZ_CHECK(text.substr(0, number.size() + 4) == number + "\r\n\r\n");
        text.remove_prefix(number.size() + 4);
        cues.emplace_back(start, end);
    }
    return cues;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const bool asDetected = in.ConsumeBool();
    const bool batch = in.ConsumeBool();
    std::vector<kestrun::Segment> raw;
    while (in.remaining_bytes() >= 8 && raw.size() < 512) {
        kestrun::Segment s;
        if (asDetected) {
            // A detector's run: start <= end, far enough from the limit of the times that
            // the run's padding cannot wrap.
            s.start = in.ConsumeIntegralInRange<int32_t>(0, INT32_MAX / 2);
            s.end = s.start + in.ConsumeIntegralInRange<int32_t>(0, 1000);
        } else {
            s.start = in.ConsumeIntegral<int32_t>();
            s.end = in.ConsumeIntegral<int32_t>();
        }
        raw.push_back(s);
    }

    kestrun::SegmentList list;
    if (batch) {
        list.InsertSegments(raw);
    } else {
        for (const kestrun::Segment& s : raw) {
            list.InsertSegment(s.start, s.end);
        }
    }
    FUZZ_CHECK(list.size() == raw.size());
    if (asDetected) {
        // The end of every detection run.
        list.MergeGaps(kestrun::MERGE_GAP_MS);
        list.ExtendEnds(kestrun::END_PAD_MS);
        list.ShiftAll(kestrun::TIME_SHIFT_MS);
        list.FixOverlaps();
    }

    const std::string text = kestrun::BuildSrt(list.items());
    const auto cues = ParseSrt(text);
    FUZZ_CHECK(cues.size() == list.size());
    for (std::size_t i = 0; i < cues.size(); ++i) {
        FUZZ_CHECK(cues[i].first == Magnitude(list[i].start));
        FUZZ_CHECK(cues[i].second == Magnitude(list[i].end));
        FUZZ_CHECK(kestrun::FormatTimeRange(list[i].start, list[i].end) ==
                   kestrun::FormatTime(list[i].start) + " --> " + kestrun::FormatTime(list[i].end) +
                       "\r\n");
        // The list is ordered by start, whatever the order of insertion.
        if (i > 0) {
            FUZZ_CHECK(list[i - 1].start <= list[i].start);
        }
    }
    if (asDetected) {
        // After the post-processing nothing is before 0, starts do not decrease and no
        // cue ends after the next one starts.
        for (std::size_t i = 0; i < cues.size(); ++i) {
            FUZZ_CHECK(list[i].start >= 0);
            FUZZ_CHECK(list[i].start <= list[i].end);
            if (i > 0) {
                FUZZ_CHECK(cues[i - 1].first <= cues[i].first);
                FUZZ_CHECK(cues[i - 1].second <= cues[i].first);
            }
        }
    }
    return 0;
}
