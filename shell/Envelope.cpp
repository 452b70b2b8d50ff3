// The dB pyramid behind the timeline: built once per load, read per pixel column.
#include "Envelope.h"

#include <algorithm>
#include <cmath>

namespace kestrun {
namespace {

constexpr double CENTI = 100.0;

int16_t Centi(double energy, double reference) {
    if (!(energy > 0.0) || !(reference > 0.0)) {
        return static_cast<int16_t>(ENVELOPE_FLOOR_DB * CENTI);
    }
    const double db = std::clamp(10.0 * std::log10(energy / reference), ENVELOPE_FLOOR_DB, 0.0);
    return static_cast<int16_t>(std::lround(db * CENTI));
}

} // namespace

void EnergyEnvelope::Build(std::span<const double> energies, double reference) {
    levels_.clear();
    if (energies.empty()) {
        return;
    }
    std::vector<Pair> base(energies.size());
    for (std::size_t i = 0; i < energies.size(); ++i) {
        const int16_t v = Centi(energies[i], reference);
        base[i] = {v, v};
    }
    levels_.push_back(std::move(base));
    while (levels_.back().size() > 1) {
        const std::vector<Pair>& below = levels_.back();
        std::vector<Pair> up((below.size() + 1) / 2);
        for (std::size_t i = 0; i < up.size(); ++i) {
            const Pair& a = below[2 * i];
            const Pair& b = 2 * i + 1 < below.size() ? below[2 * i + 1] : a;
            up[i] = {std::min(a.low, b.low), std::max(a.high, b.high)};
        }
        levels_.push_back(std::move(up));
    }
}

void EnergyEnvelope::Clear() {
    levels_.clear();
}

EnergyEnvelope::Range EnergyEnvelope::RangeOf(std::size_t first, std::size_t last) const {
    last = std::min(last, frames());
    if (first >= last) {
        return {};
    }
    int low = INT16_MAX;
    int high = INT16_MIN;
    // Up the pyramid from both ends: an odd bound takes its own pair and steps inwards,
    // then both halve, so each level adds at most two pairs.
    for (std::size_t level = 0; first < last; ++level) {
        const std::vector<Pair>& pairs = levels_[level];
        if (first & 1) {
            low = std::min<int>(low, pairs[first].low);
            high = std::max<int>(high, pairs[first].high);
            ++first;
        }
        if (last & 1) {
            --last;
            low = std::min<int>(low, pairs[last].low);
            high = std::max<int>(high, pairs[last].high);
        }
        first >>= 1;
        last >>= 1;
    }
    return {low / CENTI, high / CENTI};
}

std::size_t EnergyEnvelope::bytes() const {
    std::size_t total = 0;
    for (const std::vector<Pair>& level : levels_) {
        total += level.capacity() * sizeof(Pair);
    }
    return total;
}

} // namespace kestrun
