// A channel's frame energies as levels in dB, kept as a min/max pyramid, so that the
// lowest and highest level over any range of frames is found in a few steps: the timeline
// draws any zoom of a two-hour file with one such look-up per pixel column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrun {

// The quietest level kept; anything quieter (silence included) reads as this.
constexpr double ENVELOPE_FLOOR_DB = -100.0;

class EnergyEnvelope {
public:
    // Levels of energies relative to reference (0 dB), 10 log10(energy / reference),
    // clamped to [ENVELOPE_FLOOR_DB, 0]; a reference of 0 or below gives the floor
    // everywhere.
    void Build(std::span<const double> energies, double reference);
    void Clear();

    std::size_t frames() const { return levels_.empty() ? 0 : levels_[0].size(); }

    // The lowest and highest level over frames [first, last), in dB; the floor for both
    // when the range holds no frame (it is cut to the frames there are).
    struct Range {
        double low = ENVELOPE_FLOOR_DB;
        double high = ENVELOPE_FLOOR_DB;
    };
    Range RangeOf(std::size_t first, std::size_t last) const;

    // Bytes held, for the memory the timeline adds.
    std::size_t bytes() const;

private:
    // Levels in hundredths of a dB. levels_[0] holds one pair per frame (low == high);
    // pair i of level k covers frames [i 2^k, (i + 1) 2^k).
    struct Pair {
        int16_t low;
        int16_t high;
    };
    std::vector<std::vector<Pair>> levels_;
};

} // namespace kestrun
