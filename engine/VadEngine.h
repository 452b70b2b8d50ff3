// CVadEngine: the one analysis object. It loads a WAV (any layout of WavFormat.h, read as
// 16-bit mono or stereo by its rule) into per-channel frame energies, runs the detectors
// over them, post-processes the segments and writes the SRT. Plain C++, no threads of its
// own; failures are returned, never thrown.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "Detectors.h"
#include "SegmentList.h"
#include "Srt.h"
#include "WavFormat.h"
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

    // Loads the file's frame energies. Opens the file read-only and reads it once; no
    // sample array is kept.
    //
    // A 16-bit file with the canonical 44-byte header (one that passes IsAcceptedWavHeader,
    // with channels and 16 bits per sample) is read exactly as it always was: its header()
    // is the file's own, and a data size smaller than the data reads only that much. Every
    // other layout of WavFormat.h is converted by its rule to 16-bit mono or stereo as it
    // is read; header() is then the canonical header of the equivalent 16-bit file
    // (CanonicalHeaderFor), so every frame-to-time conversion is the same as for that file.
    //
    // False for a file that can't be opened or read, a header refused (a RIFF size other
    // than the file size - 8, no channels, a format the engine does not read, ...), a file
    // of 44 bytes or fewer, or a data size that promises more than the file holds; *why
    // then holds one short Russian line saying what the file is or what is wrong with it.
    bool LoadWav(const std::string& path, std::string* why = nullptr);

    // LoadWav of bytes that are not a named file: the open stream f, fileSize bytes long,
    // read from its start by the same code (an in-memory stream loads as the file would).
    bool LoadWavStream(std::FILE* f, uint64_t fileSize, std::string* why = nullptr);

    // LoadWav of a WAV that another process is still writing, front to back: the file may
    // not even exist yet. Energies are accumulated as the data arrives (in steps of about
    // 1 MiB; while nothing new is there the thread sleeps ~1.5 ms and looks again, asking
    // writerEnded() each time). While following only the header's format fields count (its
    // sizes may still be placeholders): the data is taken from its start to the current end
    // of the file, less the last 1 MiB, which may yet turn out to be a trailing chunk.
    // Once writerEnded() is true the finished file is checked as LoadWav would read it,
    // and that the path still names the file followed (same size, header bytes and sampled
    // data seen through the open handle and through the path, same layout, data not
    // shorter than what was taken); then the rest is read and the energies finished.
    // Anything else (a file replaced by a rename, a layout the engine does not follow or
    // read, a format rewritten, a file that shrank) ends in LoadWav(path) once the writer
    // has ended. The result is always what LoadWav(path) gives on the finished file; a file
    // gone by then fails.
    bool LoadWavFollowing(const std::string& path, const std::function<bool()>& writerEnded,
                          std::string* why = nullptr);

    // Told after each step a load reads: the data bytes read so far and all there are
    // (0 while a decoder is still writing them). Called on the loading thread; empty for
    // none.
    using LoadProgressFn = std::function<void(uint64_t done, uint64_t total)>;
    void SetLoadProgress(LoadProgressFn progress) { progress_ = std::move(progress); }

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

    // The cues the run of the same name would write with the same arguments, without
    // writing anything: for a preview, which must show exactly what a run will write.
    // Empty where the run would fail (nothing loaded, no speech probabilities).
    std::vector<Segment> CuesEnergyBased(double threshold);
    std::vector<Segment> CuesEnergyGlitch(double threshold, double prefilter);
    std::vector<Segment> CuesSpeech(double threshold, bool refineEdges = true);

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
    // The format every later run writes its file in (WriteSrt too); SRT until set.
    void SetCueFormat(CueFormat format) { cueFormat_ = format; }
    CueFormat cueFormat() const { return cueFormat_; }

    // Null when the array does not exist (not loaded, or channel 1 of a mono file).
    const FrameArray* energy(int channel) const;
    const FrameArray* workBuf(int channel) const;

    SegmentList& segments() { return segments_; }
    const SegmentList& segments() const { return segments_; }

private:
    enum class FollowOutcome { Loaded, Fallback };

    bool LoadOpened(std::FILE* f, uint64_t fileSize, std::string* why);
    // The original 16-bit path: f stands right after the 44-byte header in header_.
    bool LoadCanonical(std::FILE* f, uint64_t fileSize, std::string* why);
    // Any other layout, converted by the rule as it is read.
    bool LoadConverted(std::FILE* f, const WavLayout& layout, std::string* why);
    FollowOutcome Follow(const std::string& path, const std::function<bool()>& writerEnded);
    // The frame geometry of a rate; the energy (and scratch) arrays of frames frames.
    void SetGeometry(uint32_t sampleRate);
    void AllocateEnergies(unsigned channels, std::size_t frames);
    void InsertRuns(const std::vector<detect::FrameRun>& runs);
    // Every channel's runs into segments_, from nothing.
    void DetectChannels(void (CVadEngine::*detect)(int));
    // The speech model's runs into segments_; the reason when there are none to be had.
    std::string DetectSpeech(double threshold, bool refineEdges);
    DetectionResult Run(void (CVadEngine::*detect)(int), const std::string& srtPath);
    // Merge, extend, shift, clean: what every detection run does to its runs.
    void PostProcess();
    // PostProcess, then write and clear: the end of every detection run.
    DetectionResult PostProcessAndWrite(const std::string& srtPath);
    // PostProcess, then hand the cues over and clear.
    std::vector<Segment> TakeCues();

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
    CueFormat cueFormat_ = CueFormat::Srt;
    LoadProgressFn progress_;
};

} // namespace kestrun
