// The two voice-activity detectors over one channel's frame energies. They work on
// plain arrays and report frame ranges; CVadEngine turns the ranges into milliseconds.
//
// All arithmetic is IEEE double with non-trapping division: x/0 is +inf, 0/0 is NaN,
// and every comparison with NaN fails.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kestrun::detect {

// A detected run of frames: first frame, and one past the last frame walked.
struct FrameRun {
    int32_t first = 0;
    int32_t end = 0;
    friend bool operator==(const FrameRun&, const FrameRun&) = default;
};

// Score a run must exceed to be kept: the double nearest 0.0001.
constexpr double MIN_RUN_SCORE = 0.0001;

// Energy-based detector. Scans for frames whose ratio energy/maxEnergy is at least
// threshold, walks each such candidate to its first frame below threshold, keeps it when
// (mean excess over threshold) x (peak excess) > MIN_RUN_SCORE and moves the start back
// over frames of at least half the threshold (never below frame 1). Appends the kept
// runs in scan order.
//
// Runs in linear time: a rejected candidate is not re-walked from each following frame
// unless its score lies within a proven rounding bound of the limit, in which case the
// exact written-order sum is recounted. The result is identical to the plain scan.
void DetectEnergyBased(std::span<const double> energy, double maxEnergy, double threshold,
                       std::vector<FrameRun>& out);

// One candidate as the plain scan examines it: the walk from start, its score and, when
// accepted, the refined start. *end is set in every case. Returns whether it is kept.
bool FindEnergyBasedEnd(std::span<const double> energy, int32_t start, double maxEnergy,
                        double threshold, int32_t* end, int32_t* refinedStart);

// Block reference sums of the energy-glitch detector: block 0 is frames 0..W-1, then
// periods of W + 1 frames whose first W frames form the next block and whose last frame
// belongs to none. Each entry is its block's sum; the last W entries repeat the last
// complete block. A channel with at most W frames gets the sum of all its frames in
// every entry. blockSums must have energy.size() elements.
void ComputeBlockSums(std::span<const double> energy, uint32_t blockFrames,
                      std::span<double> blockSums);

// Energy-glitch detector over energies and their block sums: a frame starts a run when
// energy/maxEnergy >= prefilter and energy/blockSum >= threshold; the run lasts to the
// first frame whose block ratio is below threshold. Every candidate is kept.
void DetectEnergyGlitch(std::span<const double> energy, std::span<const double> blockSums,
                        double maxEnergy, double prefilter, double threshold,
                        std::vector<FrameRun>& out);

// One past the first frame from start on whose block ratio is below threshold (or NaN),
// or the frame count when none is.
int32_t FindEnergyGlitchEnd(std::span<const double> energy, std::span<const double> blockSums,
                            int32_t start, double threshold);

} // namespace kestrun::detect
