// Speech segments in milliseconds, kept ordered by start, and the fixed post-processing
// steps a detection run applies before the SRT is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrun {

// Post-processing constants of a detection run, in milliseconds.
constexpr int32_t MERGE_GAP_MS = 300;
constexpr int32_t END_PAD_MS = 100;
constexpr int32_t TIME_SHIFT_MS = -85;

// Times are signed 32-bit and all arithmetic on them wraps as two's complement.
// Nothing enforces start <= end.
struct Segment {
    int32_t start = 0;
    int32_t end = 0;
    friend bool operator==(const Segment&, const Segment&) = default;
};

class SegmentList {
public:
    // Puts the segment after every segment with a smaller start and before every one
    // with an equal or greater start: among equal starts the newest comes first.
    void InsertSegment(int32_t start, int32_t end);

    // Same result as calling InsertSegment for each segment of the batch in order, in
    // O((n + m) log m) rather than O(n * m) when the batch interleaves the list (the
    // second channel of a stereo file).
    void InsertSegments(std::span<const Segment> batch);

    // Removes each segment that starts less than gap after the end of the segment kept
    // before it; the kept one takes over the removed one's end, even an earlier end.
    void MergeGaps(int32_t gap);

    // Adds amount to every end, then FixOverlaps.
    void ExtendEnds(int32_t amount);

    // Adds offset to every start and end; a segment that now straddles 0 starts at 0.
    void ShiftAll(int32_t offset);

    // Where an end lies after the next start, cuts it back to that start.
    void FixOverlaps();

    void ClearSegments() { items_.clear(); }

    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const Segment& operator[](std::size_t i) const { return items_[i]; }
    std::span<const Segment> items() const { return items_; }

private:
    std::vector<Segment> items_;
};

// Two's-complement 32-bit arithmetic without undefined behaviour.
constexpr int32_t WrapAdd(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
constexpr int32_t WrapSub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

} // namespace kestrun
