// Segment list operations. The list lives in a vector: detectors append in (nearly)
// ascending order, and every post-processing step is a single forward pass.
#include "SegmentList.h"

#include <algorithm>
#include <iterator>

namespace kestrun {
namespace {

bool StartLess(const Segment& a, const Segment& b) {
    return a.start < b.start;
}

} // namespace

void SegmentList::InsertSegment(int32_t start, int32_t end) {
    const Segment s{start, end};
    if (items_.empty() || items_.back().start < start) {
        items_.push_back(s);
        return;
    }
    // The list is ordered, so "after the last segment with a smaller start" is the
    // first segment whose start is not smaller.
    items_.insert(std::lower_bound(items_.begin(), items_.end(), s, StartLess), s);
}

void SegmentList::InsertSegments(std::span<const Segment> batch) {
    if (batch.empty()) {
        return;
    }
    // Repeated insertion orders everything by start, and equal starts newest first.
    // Reversing the batch and sorting it stably gives the batch that order; merging it
    // in front of the list's equal starts gives the whole list that order.
    std::vector<Segment> sorted(batch.rbegin(), batch.rend());
    std::stable_sort(sorted.begin(), sorted.end(), StartLess);
    std::vector<Segment> merged;
    merged.reserve(items_.size() + sorted.size());
    std::merge(sorted.begin(), sorted.end(), items_.begin(), items_.end(),
               std::back_inserter(merged), StartLess);
    items_.swap(merged);
}

void SegmentList::MergeGaps(int32_t gap) {
    if (items_.empty()) {
        return;
    }
    std::size_t kept = 0;
    int32_t previousEnd = items_[0].end;
    for (std::size_t i = 1; i < items_.size(); ++i) {
        const Segment s = items_[i];
        if (WrapSub(s.start, previousEnd) < gap) {
            items_[kept].end = s.end;
        } else {
            items_[++kept] = s;
        }
        previousEnd = s.end;
    }
    items_.resize(kept + 1);
}

void SegmentList::ExtendEnds(int32_t amount) {
    for (Segment& s : items_) {
        s.end = WrapAdd(s.end, amount);
    }
    FixOverlaps();
}

void SegmentList::ShiftAll(int32_t offset) {
    for (Segment& s : items_) {
        s.start = WrapAdd(s.start, offset);
        s.end = WrapAdd(s.end, offset);
        if (s.start < 0 && s.end > 0) {
            s.start = 0;
        }
    }
}

void SegmentList::FixOverlaps() {
    for (std::size_t i = 1; i < items_.size(); ++i) {
        if (items_[i - 1].end > items_[i].start) {
            items_[i - 1].end = items_[i].start;
        }
    }
}

} // namespace kestrun
