// Energy-based and energy-glitch detectors.
#include "Detectors.h"

#include <cfloat>
#include <cmath>

namespace kestrun::detect {
namespace {

// The walk and score of one energy-based candidate, exactly in the written order: the
// excess terms are added one by one from start, the last walked frame's term is taken
// out again, and the mean over all walked frames is multiplied by the peak excess.
bool WalkAndScore(std::span<const double> e, int32_t start, double m, double t, int32_t* end) {
    const int64_t n = static_cast<int64_t>(e.size());
    double sum = 0.0;
    double peak = 0.0;
    double r = 0.0;
    int32_t i = start;
    for (;;) {
        r = e[static_cast<std::size_t>(i)] / m;
        sum = sum + (r - t);
        if (r > peak) {
            peak = r;
        }
        ++i;
        if (r < t || std::isnan(r)) {
            break;
        }
        if (i >= n) {
            break;
        }
    }
    *end = i;
    const double score = ((sum - (r - t)) / static_cast<double>(i - start)) * (peak - t);
    return score > MIN_RUN_SCORE;
}

bool ReachesHalfThreshold(std::span<const double> e, int32_t frame, double m, double t) {
    return 2.0 * e[static_cast<std::size_t>(frame)] / m >= t;
}

// Start refinement: back one frame at a time while the frame before still has a ratio
// of at least half the threshold, but never below frame 1.
int32_t RefineStart(std::span<const double> e, int32_t start, double m, double t) {
    int32_t k = start;
    while (k > 1 && ReachesHalfThreshold(e, k - 1, m, t)) {
        --k;
    }
    return k;
}

} // namespace

bool FindEnergyBasedEnd(std::span<const double> energy, int32_t start, double maxEnergy,
                        double threshold, int32_t* end, int32_t* refinedStart) {
    if (!WalkAndScore(energy, start, maxEnergy, threshold, end)) {
        return false;
    }
    *refinedStart = RefineStart(energy, start, maxEnergy, threshold);
    return true;
}

void DetectEnergyBased(std::span<const double> energy, double maxEnergy, double threshold,
                       std::vector<FrameRun>& out) {
    const double m = maxEnergy;
    const double t = threshold;
    const int32_t n = static_cast<int32_t>(energy.size());
    auto ratio = [&](int32_t i) { return energy[static_cast<std::size_t>(i)] / m; };

    // Refinements only ever move towards earlier frames of a stretch at or above half
    // the threshold. Remember the last one: any later refinement that walks into
    // [refinedLo, refinedHi] ends at refinedLo, so no frame is walked back twice.
    int32_t refinedLo = -1;
    int32_t refinedHi = -1;
    auto emit = [&](int32_t s, int32_t e) {
        int32_t k = s;
        while (k > 1 && ReachesHalfThreshold(energy, k - 1, m, t)) {
            --k;
            if (k >= refinedLo && k <= refinedHi) {
                k = refinedLo;
                break;
            }
        }
        refinedLo = k;
        refinedHi = s;
        out.push_back({k, e});
    };

    std::vector<double> excessFrom; // excessFrom[s - first] = sum of excess terms s..last-1
    std::vector<double> peakFrom;   // peakFrom[s - first] = largest ratio of s..last

    int32_t j = 0;
    while (j < n) {
        if (!(ratio(j) >= t)) {
            ++j;
            continue;
        }
        int32_t e = 0;
        if (WalkAndScore(energy, j, m, t, &e)) {
            emit(j, e);
            j = e + 1;
            continue;
        }

        // Rejected. Every later frame of this loud stretch is a candidate whose walk
        // ends on the same last frame; decide most of them from suffix sums.
        const int32_t last = e - 1;
        const int32_t first = j + 1;
        bool accepted = false;
        if (first < last) {
            const std::size_t len = static_cast<std::size_t>(last - first);
            excessFrom.assign(len + 1, 0.0);
            peakFrom.assign(len + 1, 0.0);
            peakFrom[len] = ratio(last) > 0.0 ? ratio(last) : 0.0;
            for (std::size_t q = len; q-- > 0;) {
                const double r = ratio(first + static_cast<int32_t>(q));
                excessFrom[q] = (r - t) + excessFrom[q + 1];
                peakFrom[q] = r > peakFrom[q + 1] ? r : peakFrom[q + 1];
            }
            const double lastExcess = std::fabs(ratio(last) - t);
            // Rounding bound: the written sum of m terms is within gamma(m-1) of the
            // true sum (of absolute values), our suffix sums of non-negative terms
            // within gamma(len); one more factor covers the last three operations and
            // the evaluation of this bound. 8x headroom on top.
            const double slack = 16.0 * (static_cast<double>(len) + 8.0) * (DBL_EPSILON / 2.0);
            for (int32_t s = first; s < last; ++s) {
                const std::size_t q = static_cast<std::size_t>(s - first);
                const double walked = static_cast<double>(last + 1 - s);
                const double upper = (excessFrom[q] * (1.0 + slack) + slack * lastExcess) / walked *
                                     (peakFrom[q] - t) * (1.0 + slack);
                if (upper < MIN_RUN_SCORE) {
                    continue; // certainly rejected; NaN or inf never lands here
                }
                if (WalkAndScore(energy, s, m, t, &e)) {
                    emit(s, e);
                    j = e + 1;
                    accepted = true;
                    break;
                }
            }
        }
        if (!accepted) {
            j = last > j ? last : j + 1;
        }
    }
}

void ComputeBlockSums(std::span<const double> energy, uint32_t blockFrames,
                      std::span<double> blockSums) {
    const std::size_t n = energy.size();
    const std::size_t w = blockFrames;
    if (n <= w) {
        // Too short for one block and its successor: every entry is the sum of what
        // exists, which is also what the general construction gives for n == w.
        double all = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            all += energy[i];
        }
        for (std::size_t i = 0; i < n; ++i) {
            blockSums[i] = all;
        }
        return;
    }
    double cur = 0.0;
    for (std::size_t i = 0; i < w; ++i) {
        cur += energy[i];
    }
    double acc = 0.0;
    std::size_t filled = 0;
    for (std::size_t j = 0; j + w < n; ++j) {
        if (filled < w) {
            acc += energy[j + w];
            ++filled;
        } else {
            cur = acc; // energy[j + w] belongs to no block
            acc = 0.0;
            filled = 0;
        }
        blockSums[j] = cur;
    }
    for (std::size_t j = n - w; j < n; ++j) {
        blockSums[j] = cur;
    }
}

int32_t FindEnergyGlitchEnd(std::span<const double> energy, std::span<const double> blockSums,
                            int32_t start, double threshold) {
    const int64_t n = static_cast<int64_t>(energy.size());
    int32_t i = start;
    for (;;) {
        const std::size_t k = static_cast<std::size_t>(i);
        const double r = energy[k] / blockSums[k];
        ++i;
        if (r < threshold || std::isnan(r)) {
            break;
        }
        if (i >= n) {
            break;
        }
    }
    return i;
}

void DetectEnergyGlitch(std::span<const double> energy, std::span<const double> blockSums,
                        double maxEnergy, double prefilter, double threshold,
                        std::vector<FrameRun>& out) {
    const int32_t n = static_cast<int32_t>(energy.size());
    for (int32_t j = 0; j < n; ++j) {
        const std::size_t k = static_cast<std::size_t>(j);
        if (energy[k] / maxEnergy >= prefilter && energy[k] / blockSums[k] >= threshold) {
            const int32_t e = FindEnergyGlitchEnd(energy, blockSums, j, threshold);
            out.push_back({j, e});
            j = e; // frame e is never tested as a start
        }
    }
}

} // namespace kestrun::detect
