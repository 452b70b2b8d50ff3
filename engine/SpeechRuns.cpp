// Speech runs from the model's probabilities, and their edges moved to the energies.
#include "SpeechRuns.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrun::speech {

std::vector<Segment> RunsFromProbabilities(std::span<const float> probabilities, double threshold,
                                           int32_t durationMs) {
    const double endBelow = threshold - END_HYSTERESIS;
    std::vector<Segment> runs;
    auto close = [&](int64_t start, int64_t end) {
        end = std::min<int64_t>(end, durationMs);
        if (end - start >= MIN_SPEECH_MS) {
            runs.push_back({static_cast<int32_t>(start), static_cast<int32_t>(end)});
        }
    };
    bool open = false;
    int64_t start = 0;
    int64_t quietFrom = -1; // where the probability first fell below endBelow, if it did
    for (std::size_t k = 0; k < probabilities.size(); ++k) {
        const int64_t t = static_cast<int64_t>(k) * WINDOW_MS;
        const double p = probabilities[k];
        if (p >= threshold) {
            quietFrom = -1;
            if (!open) {
                open = true;
                start = t;
            }
            continue;
        }
        if (!open || !(p < endBelow)) {
            continue; // between the two levels: an open run neither ends nor is confirmed
        }
        if (quietFrom < 0) {
            quietFrom = t;
        }
        if (t + WINDOW_MS - quietFrom >= MIN_SILENCE_MS) {
            close(start, quietFrom);
            open = false;
            quietFrom = -1;
        }
    }
    if (open) {
        close(start, quietFrom >= 0 ? quietFrom : durationMs);
    }
    return runs;
}

namespace {

// Frame energies in dB and the mapping between frames and milliseconds, by frame centres.
// Levels are worked out only for the frames an edge looks at: a threshold being tuned
// asks for a run at once, and the log of every frame of a film took most of it. The dB
// scale rises with the energy, so a span's floor and peak are those of its energies.
class LevelTrack {
public:
    explicit LevelTrack(const EnergyTrack& t) : t_(t) {}
    int64_t size() const { return static_cast<int64_t>(t_.energy.size()); }
    double operator[](int64_t f) const { return Db(Energy(f)); }

    double CentreMs(double f) const {
        return (f * t_.frameLength + t_.windowLength / 2.0) * 1000.0 / t_.sampleRate;
    }
    int64_t FrameAt(double ms) const {
        const double f = (ms * t_.sampleRate / 1000.0 - t_.windowLength / 2.0) / t_.frameLength;
        return std::clamp<int64_t>(std::llround(f), 0, size() - 1);
    }
    int64_t Frames(int32_t ms) const {
        return std::max<int64_t>(
            1, std::llround(double(ms) * t_.sampleRate / 1000.0 / t_.frameLength));
    }
    // The 20th percentile of [from, to), or NaN when the span is empty.
    double Floor(int64_t from, int64_t to) const {
        from = std::max<int64_t>(from, 0);
        to = std::min(to, size());
        if (from >= to) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        std::vector<double> v;
        v.reserve(static_cast<std::size_t>(to - from));
        for (int64_t f = from; f < to; ++f) {
            v.push_back(Energy(f));
        }
        auto nth = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 5);
        std::nth_element(v.begin(), nth, v.end());
        return Db(*nth);
    }
    double Peak(int64_t from, int64_t to) const {
        from = std::max<int64_t>(from, 0);
        to = std::min(to, size());
        if (from >= to) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        double peak = Energy(from);
        for (int64_t f = from + 1; f < to; ++f) {
            peak = std::max(peak, Energy(f));
        }
        return Db(peak);
    }
    // Where the level crosses lvl between frames a and a + 1, by linear interpolation.
    double CrossingMs(int64_t a, double lvl) const {
        const double la = (*this)[a];
        const double lb = (*this)[a + 1];
        const double frac = lb != la ? std::clamp((lvl - la) / (lb - la), 0.0, 1.0) : 0.5;
        return CentreMs(static_cast<double>(a) + frac);
    }

private:
    double Energy(int64_t f) const {
        const auto i = static_cast<std::size_t>(f);
        return t_.second.empty() ? t_.energy[i] : t_.energy[i] + t_.second[i];
    }
    static double Db(double energy) { return 10.0 * std::log10(energy + 1.0); }

    const EnergyTrack& t_;
};

// The level an edge is placed at, or NaN when floor and peak are too close to tell.
double EdgeLevel(double floor, double peak, const EdgeRefinement& p) {
    if (!(peak - floor >= p.minContrastDb)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return floor + p.level * (peak - floor);
}

// The start moved to the rise through lvl nearest the model's start, or the old start.
double RefineStart(const LevelTrack& L, double startMs, const EdgeRefinement& p) {
    const int64_t f0 = L.FrameAt(startMs);
    const int64_t back = L.Frames(p.startBackMs);
    const int64_t ahead = L.Frames(p.startAheadMs);
    const int64_t context = L.Frames(p.contextMs);
    const double lvl =
        EdgeLevel(L.Floor(f0 - back - context, f0 - back), L.Peak(f0 - back, f0 + context), p);
    if (std::isnan(lvl)) {
        return startMs;
    }
    const int64_t lo = std::max<int64_t>(f0 - back, 1);
    const int64_t hi = std::min<int64_t>(f0 + ahead, L.size() - 1);
    int64_t f = f0;
    if (L[f] >= lvl) {
        while (f > lo && L[f - 1] >= lvl) {
            --f;
        }
        if (f == lo && L[f - 1] >= lvl) {
            return startMs; // loud all the way back: no rise to find
        }
    } else {
        while (f < hi && L[f] < lvl) {
            ++f;
        }
        if (L[f] < lvl || f < 1) {
            return startMs;
        }
    }
    return L.CrossingMs(f - 1, lvl);
}

// The end moved to the fall through lvl nearest the model's end, or the old end.
double RefineEnd(const LevelTrack& L, double endMs, const EdgeRefinement& p) {
    const int64_t f0 = L.FrameAt(endMs);
    const int64_t back = L.Frames(p.endBackMs);
    const int64_t ahead = L.Frames(p.endAheadMs);
    const int64_t context = L.Frames(p.contextMs);
    const double lvl = EdgeLevel(L.Floor(f0 + ahead + 1, f0 + ahead + 1 + context),
                                 L.Peak(f0 - back - context, f0 + ahead), p);
    if (std::isnan(lvl)) {
        return endMs;
    }
    const int64_t lo = std::max<int64_t>(f0 - back, 0);
    const int64_t hi = std::min<int64_t>(f0 + ahead, L.size() - 2);
    int64_t f = std::min(f0, L.size() - 2);
    if (f < 0) {
        return endMs;
    }
    if (L[f] >= lvl) {
        while (f < hi && L[f + 1] >= lvl) {
            ++f;
        }
        if (f == hi && L[f + 1] >= lvl) {
            return endMs; // loud all the way on: no fall to find
        }
    } else {
        while (f > lo && L[f] < lvl) {
            --f;
        }
        if (L[f] < lvl) {
            return endMs;
        }
    }
    return L.CrossingMs(f, lvl);
}

} // namespace

void RefineEdges(std::vector<Segment>& runs, const EnergyTrack& track,
                 const EdgeRefinement& params) {
    if (track.energy.size() < 2 || track.sampleRate == 0 || track.frameLength == 0) {
        return;
    }
    const LevelTrack levels(track);
    const double frameMs = 1000.0 * track.frameLength / track.sampleRate;
    for (Segment& run : runs) {
        const double start = RefineStart(levels, run.start, params);
        const double end = RefineEnd(levels, run.end, params);
        if (end - start < frameMs) {
            continue; // edges that cross each other: the model's run stands
        }
        run.start = static_cast<int32_t>(std::max(0.0, std::floor(start)));
        run.end = static_cast<int32_t>(std::ceil(end));
    }
    std::stable_sort(runs.begin(), runs.end(),
                     [](const Segment& a, const Segment& b) { return a.start < b.start; });
}

} // namespace kestrun::speech
