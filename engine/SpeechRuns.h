// The speech model's side of detection: from per-window speech probabilities to speech
// runs in milliseconds, and the refinement of each run's edges to the frame energies.
// Plain arrays in, plain segments out; the model itself lives outside the engine.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "SegmentList.h"

namespace kestrun::speech {

constexpr int32_t WINDOW_MS = 32;       // one probability per 512 samples at 16 kHz
constexpr double END_HYSTERESIS = 0.15; // speech ends below threshold - 0.15 ...
constexpr int32_t MIN_SILENCE_MS = 100; // ... held for at least this long
constexpr int32_t MIN_SPEECH_MS = 250;  // shorter runs are dropped

// Speech runs from probabilities, window k covering [32k, 32k + 32) ms. A run starts at
// the first window whose probability reaches threshold and ends at the start of the first
// window below threshold - 0.15, once no window has reached threshold again for
// MIN_SILENCE_MS; a run still open at the end ends at durationMs. Runs shorter than
// MIN_SPEECH_MS are dropped.
//   threshold 0.5, probabilities 0.1 0.9 0.9 ... (10 x 0.9) 0.1 0.1 0.1 0.1
//     -> one run [32, 384)
std::vector<Segment> RunsFromProbabilities(std::span<const float> probabilities, double threshold,
                                           int32_t durationMs);

// How a run's edges are moved to the energies. The model hears 32 ms windows through an
// LSTM, and its edges come late more often than early (ends by 100 to 250 ms), so each
// edge is looked for mostly before where the model put it. The values were chosen on the
// benchmark's speech set (bench/bench_speech.sh) and checked on a second one made from
// other sentences.
struct EdgeRefinement {
    int32_t startBackMs = 150;  // how far a start may move earlier
    int32_t startAheadMs = 25;  // and later
    int32_t endBackMs = 500;    // how far an end may move earlier
    int32_t endAheadMs = 25;    // and later
    int32_t contextMs = 300;    // span beside an edge that gives its floor and its peak
    double minContrastDb = 4.0; // below this peak-to-floor rise the model's edge is kept
    double level = 0.25;        // crossing level between floor and peak, in dB
};

// Frame energies of the file and how frames map to time: frame f's window starts at
// f * frameLength samples and spans windowLength samples. A stereo file's energy is both
// channels' added: the second, when not empty, is added to the first frame by frame.
struct EnergyTrack {
    std::span<const double> energy;
    uint32_t sampleRate = 0;
    uint32_t frameLength = 0;
    uint32_t windowLength = 0;
    std::span<const double> second = {};
};

// Moves each run's start and end to where the energy near it crosses the level between
// the quiet side's floor and the speech side's peak, within the search spans around the
// model's edge.
// An edge whose neighbourhood shows too little contrast (speech under steady music) stays
// where the model put it. Runs stay ordered and never shrink below one frame.
void RefineEdges(std::vector<Segment>& runs, const EnergyTrack& track,
                 const EdgeRefinement& params = {});

} // namespace kestrun::speech
