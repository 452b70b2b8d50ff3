// CVadEngine: the one analysis object. It loads a 16-bit PCM WAV into per-channel frame
// energies, runs the two detectors over them, post-processes the segments and writes
// the SRT. Plain C++, no threads of its own; failures are returned, never thrown.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "Detectors.h"
#include "SegmentList.h"
#include "WavHeader.h"

namespace kestrun {

// Frames summed into one energy value.
constexpr uint32_t WINDOW_FRAMES = 3;

// An allocator that leaves new elements uninitialised: frame arrays are written in full
// right after they are made (or, for scratch, before they are read), so zero-filling
// them would only cost time and page faults.
template <class T> struct DefaultInitAllocator : std::allocator<T> {
    template <class U> struct rebind { using other = DefaultInitAllocator<U>; };
    DefaultInitAllocator() = default;
    template <class U> DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
    template <class U> void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args> void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// One value per frame of a channel.
using FrameArray = std::vector<double, DefaultInitAllocator<double>>;

// Outcome of one detection run (one Generate press).
struct DetectionResult {
    bool written = false; // the SRT file now holds this run's cues
    uint32_t cues = 0;    // cues written
    std::string error;    // why not, when !written
};

class CVadEngine {
public:
    CVadEngine() = default;
    virtual ~CVadEngine() = default;
    CVadEngine(const CVadEngine&) = delete;
    CVadEngine& operator=(const CVadEngine&) = delete;

    // Loads the file's frame energies. False for a file that can't be opened or read, or
    // whose header is refused (see IsAcceptedWavHeader), or that has no channels, or
    // whose data size promises more than the file holds. Opens the file read-only and
    // reads it once; no sample array is kept.
    bool LoadWav(const std::string& path);

    // Kept for the window's call sequence: samples are never held after a load.
    void FreeSamples() {}

    // Releases the energy and scratch arrays and zeroes the header.
    void FreeAll();

    bool IsLoaded() const { return energy_[0].has_value(); }

    // The detection run of one Generate button: thresholds in, every channel scanned,
    // segments merged (300 ms), extended (100 ms), shifted (-85 ms), cleaned of overlaps,
    // written to srtPath (the job's output base + ".srt"), and cleared.
    DetectionResult RunEnergyBased(double threshold, const std::string& srtPath);
    DetectionResult RunEnergyGlitch(double threshold, double prefilter, const std::string& srtPath);

    // The speech model's run: speech runs from the probabilities kept with this load
    // (threshold and hysteresis, see SpeechRuns.h), their edges moved to the frame
    // energies unless refineEdges is false, then the same post-processing and SRT as the
    // other two. Fails when no probabilities are kept.
    DetectionResult RunSpeech(double threshold, const std::string& srtPath,
                              bool refineEdges = true);

    // The speech model's probabilities for the loaded file (one per 32 ms), kept until the
    // next load or FreeAll. Computing them is the caller's business: it takes seconds.
    void SetSpeechProbabilities(std::vector<float> probabilities);
    bool HasSpeechProbabilities() const { return hasSpeech_; }
    std::span<const float> speechProbabilities() const { return speech_; }

    // The steps of a run, for callers that drive them one by one.
    void DetectEnergyBased(int channel);
    void DetectEnergyGlitch(int channel);
    bool WriteSrt(const std::string& path, std::string* error = nullptr);

    // Frame index to milliseconds: index x frameLength x 1000 / rate in 64-bit, truncated,
    // kept as signed 32-bit.
    int32_t FrameToMs(int32_t frame) const;

    // The duration the window shows: sampleCount x 1000 / rate, truncated.
    int64_t DurationMs() const;

    const WavHeader& header() const { return header_; }
    uint32_t sampleCount() const { return sampleCount_; }
    uint32_t frameLength() const { return frameLength_; }
    uint32_t windowFrames() const { return windowFrames_; }
    uint32_t windowLength() const { return windowLength_; }
    uint32_t frameCount() const { return frameCount_; }
    uint32_t blockFrames() const { return blockFrames_; }
    uint32_t cueCount() const { return cueCount_; }
    double maxEnergy() const { return maxEnergy_; }
    double detectThreshold() const { return detectThreshold_; }
    double prefilterThreshold() const { return prefilterThreshold_; }
    void SetDetectThreshold(double t) { detectThreshold_ = t; }
    void SetPrefilterThreshold(double p) { prefilterThreshold_ = p; }

    // Null when the array does not exist (not loaded, or channel 1 of a mono file).
    const FrameArray* energy(int channel) const;
    const FrameArray* workBuf(int channel) const;

    SegmentList& segments() { return segments_; }
    const SegmentList& segments() const { return segments_; }

private:
    bool LoadOpened(std::FILE* f, const std::string& path);
    void InsertRuns(const std::vector<detect::FrameRun>& runs);
    DetectionResult Run(void (CVadEngine::*detect)(int), const std::string& srtPath);
    // Merge, extend, shift, clean, write, clear: the end of every detection run.
    DetectionResult PostProcessAndWrite(const std::string& srtPath);

    SegmentList segments_;
    std::optional<FrameArray> energy_[2];
    std::optional<FrameArray> workBuf_[2];
    WavHeader header_{};
    uint32_t sampleCount_ = 0;
    uint32_t frameLength_ = 0;
    uint32_t windowFrames_ = WINDOW_FRAMES;
    uint32_t frameCount_ = 0;
    uint32_t windowLength_ = 0;
    uint32_t cueCount_ = 0;
    uint32_t blockFrames_ = 0;
    double prefilterThreshold_ = 0.001;
    double detectThreshold_ = 0.045;
    double maxEnergy_ = 0.0;
    std::vector<float> speech_;
    bool hasSpeech_ = false;
};

} // namespace kestrun
