// A loaded WAV file as the speech model hears it: read again in chunks as the engine reads
// it (any layout, converted by WavFormat.h's rule to 16-bit mono or stereo), mixed to mono
// as (L + R) / 2 in floating point, resampled to 16 kHz, and fed through the network as it
// streams, so an hour of audio never sits in memory at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "SpeechModel.h"

namespace kestrun {

// Sample rates the speech model accepts a file at; outside them the file is refused with
// a message (the loader itself takes any non-zero rate a header states).
constexpr uint32_t SPEECH_MIN_RATE = 4000;
constexpr uint32_t SPEECH_MAX_RATE = 768000;

struct SpeechRunOptions {
    int threads = 1;
    // Raised by another thread to stop the run; checked between batches.
    const std::atomic<bool>* cancel = nullptr;
    // Called with 0..100 as the file is worked through, on the calling thread.
    std::function<void(int percent)> progress;
};

struct SpeechAnalysis {
    bool ok = false;
    bool cancelled = false;
    std::string error;                // why not, when !ok and !cancelled
    std::vector<float> probabilities; // one per 32 ms window of the file
};

// Runs the model over the WAV at wavPath (any layout the engine reads).
SpeechAnalysis AnalyseSpeech(const std::string& wavPath, const SpeechModel& model,
                             const SpeechRunOptions& options);

} // namespace kestrun
