// The segment list and its post-processing steps, one table of exact results each.
#include <gtest/gtest.h>

#include <limits>
#include <list>
#include <random>

#include "PlainReference.h"
#include "SegmentList.h"

using kestrun::Segment;
using kestrun::SegmentList;
using Segs = std::vector<Segment>;

namespace {

SegmentList ListOf(const Segs& segs) {
    SegmentList list;
    for (const Segment& s : segs) {
        list.InsertSegment(s.start, s.end);
    }
    return list;
}

Segs Items(const SegmentList& list) {
    return {list.items().begin(), list.items().end()};
}

} // namespace

TEST(SegmentList, InsertKeepsStartOrderNewestFirstAmongEquals) {
    EXPECT_EQ(Items(ListOf({{100, 200}, {50, 90}})), (Segs{{50, 90}, {100, 200}}));
    EXPECT_EQ(Items(ListOf({{100, 200}, {100, 300}})), (Segs{{100, 300}, {100, 200}}));
    EXPECT_EQ(Items(ListOf({{0, 5}, {10, 20}, {30, 40}, {10, 25}})),
              (Segs{{0, 5}, {10, 25}, {10, 20}, {30, 40}}));
    // Signed comparison: negative starts go first.
    EXPECT_EQ(Items(ListOf({{5, 6}, {-5, 6}})), (Segs{{-5, 6}, {5, 6}}));
}

TEST(SegmentList, BatchInsertEqualsOneByOne) {
    // The second channel's segments interleave the first's; a batch must land exactly
    // where repeated single inserts would put it, equal starts included.
    std::mt19937 rng(5);
    for (int round = 0; round < 500; ++round) {
        SegmentList batched, single;
        std::list<plain::Seg> reference;
        for (int pass = 0; pass < 3; ++pass) {
            Segs batch;
            const int n = int(rng() % 30);
            for (int i = 0; i < n; ++i) {
                batch.push_back({int32_t(rng() % 40), int32_t(rng() % 1000)});
            }
            batched.InsertSegments(batch);
            for (const Segment& s : batch) {
                single.InsertSegment(s.start, s.end);
                plain::InsertSegment(reference, s.start, s.end);
            }
        }
        ASSERT_EQ(Items(batched), Items(single)) << round;
        Segs expected;
        for (const plain::Seg& s : reference) {
            expected.push_back({s.start, s.end});
        }
        ASSERT_EQ(Items(single), expected) << round;
    }
}

TEST(SegmentList, MergeGaps) {
    struct Case {
        Segs in;
        Segs out;
    };
    const Case cases[] = {
        {{{0, 100}, {400, 500}}, {{0, 100}, {400, 500}}}, // a gap of exactly 300 stays
        {{{0, 100}, {399, 500}}, {{0, 500}}},
        {{{0, 100}, {300, 400}, {600, 700}}, {{0, 700}}}, // chains collapse
        {{{0, 900}, {100, 200}}, {{0, 200}}},             // a later end always wins
        {{{7, 9}}, {{7, 9}}},
        {{}, {}},
        {{{0, 100}, {100, 150}, {1000, 1100}, {1350, 1400}}, {{0, 150}, {1000, 1400}}},
    };
    for (const Case& c : cases) {
        SegmentList list = ListOf(c.in);
        list.MergeGaps(kestrun::MERGE_GAP_MS);
        EXPECT_EQ(Items(list), c.out);
    }
    // The difference is taken in 32 bits and wraps: 2e9 - (-2e9) is negative.
    SegmentList list = ListOf({{-2100000000, -2000000000}, {2000000000, 2000000001}});
    list.MergeGaps(300);
    EXPECT_EQ(Items(list), (Segs{{-2100000000, 2000000001}}));
}

TEST(SegmentList, ExtendShiftAndFixOverlaps) {
    SegmentList list = ListOf({{0, 100}, {150, 300}});
    list.ExtendEnds(100);
    EXPECT_EQ(Items(list), (Segs{{0, 150}, {150, 400}}));

    list = ListOf({{50, 500}, {85, 600}, {200, 300}, {-300, -10}});
    list.ShiftAll(-85);
    EXPECT_EQ(Items(list), (Segs{{-385, -95}, {0, 415}, {0, 515}, {115, 215}}));

    list = ListOf({{0, 100}, {90, 200}});
    list.FixOverlaps();
    EXPECT_EQ(Items(list), (Segs{{0, 90}, {90, 200}}));
    list = ListOf({{0, 100}, {100, 200}});
    list.FixOverlaps();
    EXPECT_EQ(Items(list), (Segs{{0, 100}, {100, 200}}));
    // Only the previous end moves, by the end it had when visited.
    list = ListOf({{0, 500}, {10, 400}, {20, 30}});
    list.FixOverlaps();
    EXPECT_EQ(Items(list), (Segs{{0, 10}, {10, 20}, {20, 30}}));

    // Ends wrap instead of overflowing.
    list = ListOf({{0, std::numeric_limits<int32_t>::max()}});
    list.ExtendEnds(100);
    EXPECT_EQ(list[0].end, std::numeric_limits<int32_t>::min() + 99);

    list.ClearSegments();
    EXPECT_TRUE(list.empty());
    list.ClearSegments();
}
