// Loading, the engine side of the detectors, and the detection run.
#include "VadEngine.h"

#include <algorithm>
#include <bit>
#include <filesystem>
#include <memory>
#include <new>

#include "Detectors.h"
#include "SpeechRuns.h"
#include "Srt.h"

namespace kestrun {
namespace {

// Sums of squares of whole windows are exact in a double below this, whatever the order
// of addition; windows shorter than 2^23 samples always stay below it.
constexpr uint64_t EXACT_DOUBLE_LIMIT = uint64_t{1} << 53;

// How much is read at a time: a multiple of 4 (whole stereo frames) that fits the cache.
constexpr std::size_t LOAD_STEP_BYTES = 1024 * 1024;
static_assert(LOAD_STEP_BYTES % 4 == 0 && LOAD_STEP_BYTES <= READ_CHUNK_BYTES);

// Samples of a chunk as host integers: on a little-endian host the words as read, else
// byte-swapped once in place.
const int16_t* ChunkSamples(std::span<uint8_t> chunk) {
    int16_t* words = reinterpret_cast<int16_t*>(chunk.data());
    if constexpr (std::endian::native != std::endian::little) {
        for (std::size_t k = 0; k < chunk.size() / 2; ++k) {
            const uint8_t* b = chunk.data() + 2 * k;
            words[k] = static_cast<int16_t>(static_cast<uint16_t>(b[0] | (b[1] << 8)));
        }
    }
    return words;
}

// Squares are at most 2^30, so they are summed as unsigned 64-bit integers: exact, and
// a loop the compiler vectorises.
inline uint64_t Square(int16_t s) {
    const int32_t v = s;
    return static_cast<uint32_t>(v * v);
}

inline void SumSquaresMono(const int16_t* s, std::size_t count, uint64_t* sum) {
    uint64_t a = 0;
    for (std::size_t k = 0; k < count; ++k) {
        a += Square(s[k]);
    }
    *sum += a;
}

inline void SumSquaresStereo(const int16_t* s, std::size_t count, uint64_t* left, uint64_t* right) {
    uint64_t a = 0;
    uint64_t b = 0;
    for (std::size_t k = 0; k < count; ++k) {
        a += Square(s[2 * k]);
        b += Square(s[2 * k + 1]);
    }
    *left += a;
    *right += b;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

} // namespace

bool CVadEngine::LoadWav(const std::string& path) {
    FreeAll();
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        return false;
    }
    bool ok = false;
    try {
        ok = LoadOpened(f.get(), path);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (!ok) {
        // A failed load leaves the engine not loaded, whatever was allocated on the way.
        for (int c = 0; c < 2; ++c) {
            energy_[c].reset();
            workBuf_[c].reset();
        }
    }
    return ok;
}

bool CVadEngine::LoadOpened(std::FILE* f, const std::string& path) {
    std::setvbuf(f, nullptr, _IONBF, 0); // chunks are large; stdio's buffer only copies
    std::error_code ec;
    const uint64_t fileSize = std::filesystem::file_size(path, ec);
    if (ec) {
        return false;
    }
    const uint32_t fileSize32 = static_cast<uint32_t>(fileSize);
    if (fileSize32 <= WAV_HEADER_BYTES) {
        return false;
    }
    uint8_t raw[WAV_HEADER_BYTES];
    if (std::fread(raw, 1, sizeof raw, f) != sizeof raw) {
        return false;
    }
    header_ = ParseWavHeader(std::span<const uint8_t, WAV_HEADER_BYTES>(raw));
    if (!IsAcceptedWavHeader(header_, fileSize32) || header_.nChannels == 0) {
        return false;
    }
    const unsigned channels = header_.nChannels;
    frameLength_ = header_.nSamplesPerSec / 115 + 1;
    windowLength_ = frameLength_ * windowFrames_;
    // A header that promises more data than the file holds fails before anything is
    // allocated from it.
    if (header_.dataSize > fileSize - WAV_HEADER_BYTES) {
        return false;
    }
    sampleCount_ = header_.dataSize / (2 * channels);
    frameCount_ = sampleCount_ / frameLength_;

    // A frame's energy is the sum of WINDOW_FRAMES consecutive blocks of frameLength
    // samples. Block sums are integers (exact), kept for the last WINDOW_FRAMES blocks
    // only; each completed block completes the energy of the frame WINDOW_FRAMES - 1
    // blocks back. Samples past the channel's end count as 0.
    const std::size_t frames = frameCount_;
    for (unsigned c = 0; c < channels; ++c) {
        energy_[c].emplace(frames);  // filled below, frame by frame
        workBuf_[c].emplace(frames); // the glitch detector's scratch: contents undefined
    }
    // Only a window of 2^23 samples or more (a sample rate above 321 MHz) can reach a sum
    // that a double rounds; such windows are summed again one sample at a time.
    const bool needSamples = windowLength_ >= (1u << 23);
    std::vector<int16_t> samples[2];

    const std::size_t fl = frameLength_;
    uint64_t current[2] = {0, 0};
    uint64_t recent[2][WINDOW_FRAMES] = {};
    std::size_t block = 0;
    std::size_t inBlock = 0;
    std::size_t nextFrame = 0;
    maxEnergy_ = 0.0;
    auto completeBlock = [&] {
        const std::size_t slot = block % WINDOW_FRAMES;
        for (unsigned c = 0; c < channels; ++c) {
            recent[c][slot] = current[c];
            current[c] = 0;
        }
        ++block;
        if (block < WINDOW_FRAMES || nextFrame >= frames) {
            return;
        }
        for (unsigned c = 0; c < channels; ++c) {
            uint64_t sum = 0;
            for (uint64_t b : recent[c]) {
                sum += b;
            }
            double e = static_cast<double>(sum);
            if (sum >= EXACT_DOUBLE_LIMIT) {
                // As a double sum from 0, one sample after the other.
                e = 0.0;
                const std::size_t from = nextFrame * fl;
                const std::size_t to = std::min<std::size_t>(from + windowLength_, sampleCount_);
                for (std::size_t k = from; k < to; ++k) {
                    const double s = samples[c][k];
                    e += s * s;
                }
            }
            (*energy_[c])[nextFrame] = e;
            // One maximum over both channels: each channel's ratios are measured against
            // the loudest frame of the file.
            if (e > maxEnergy_) {
                maxEnergy_ = e;
            }
        }
        ++nextFrame;
    };

    // Steps smaller than the buffer keep each step in the cache between the kernel's
    // copy and the sums.
    const std::span<uint8_t> buffer = readBuffer().first(LOAD_STEP_BYTES);
    const std::size_t frameBytes = 2 * channels;
    uint64_t remaining = static_cast<uint64_t>(sampleCount_) * frameBytes;
    while (remaining > 0) {
        const std::size_t chunk =
            static_cast<std::size_t>(std::min<uint64_t>(remaining, buffer.size()));
        if (std::fread(buffer.data(), 1, chunk, f) != chunk) {
            return false;
        }
        remaining -= chunk;
        const int16_t* p = ChunkSamples(buffer.first(chunk));
        std::size_t left = chunk / frameBytes;
        if (needSamples) {
            for (std::size_t k = 0; k < left; ++k) {
                for (unsigned c = 0; c < channels; ++c) {
                    samples[c].push_back(p[k * channels + c]);
                }
            }
        }
        while (left > 0) {
            const std::size_t take = std::min(left, fl - inBlock);
            if (channels == 1) {
                SumSquaresMono(p, take, &current[0]);
            } else {
                SumSquaresStereo(p, take, &current[0], &current[1]);
            }
            p += take * channels;
            left -= take;
            inBlock += take;
            if (inBlock == fl) {
                completeBlock();
                inBlock = 0;
            }
        }
    }
    // The last frames' windows end in the partial block and the silence after it.
    while (nextFrame < frames) {
        completeBlock();
    }
    return true;
}

void CVadEngine::FreeAll() {
    for (int c = 0; c < 2; ++c) {
        energy_[c].reset();
        workBuf_[c].reset();
    }
    header_ = WavHeader{};
    speech_ = {};
    hasSpeech_ = false;
}

const FrameArray* CVadEngine::energy(int channel) const {
    if (channel < 0 || channel > 1 || !energy_[channel]) {
        return nullptr;
    }
    return &*energy_[channel];
}

const FrameArray* CVadEngine::workBuf(int channel) const {
    if (channel < 0 || channel > 1 || !workBuf_[channel]) {
        return nullptr;
    }
    return &*workBuf_[channel];
}

int32_t CVadEngine::FrameToMs(int32_t frame) const {
    if (header_.nSamplesPerSec == 0) {
        return 0;
    }
    const int64_t ms = static_cast<int64_t>(frame) * static_cast<int64_t>(frameLength_) * 1000 /
                       static_cast<int64_t>(header_.nSamplesPerSec);
    return static_cast<int32_t>(ms);
}

int64_t CVadEngine::DurationMs() const {
    if (header_.nSamplesPerSec == 0) {
        return 0;
    }
    return static_cast<int64_t>(sampleCount_) * 1000 / header_.nSamplesPerSec;
}

void CVadEngine::InsertRuns(const std::vector<detect::FrameRun>& runs) {
    std::vector<Segment> batch;
    batch.reserve(runs.size());
    for (const detect::FrameRun& r : runs) {
        batch.push_back({FrameToMs(r.first), FrameToMs(r.end)});
    }
    segments_.InsertSegments(batch);
}

void CVadEngine::DetectEnergyBased(int channel) {
    const FrameArray* e = energy(channel);
    if (e == nullptr) {
        return;
    }
    std::vector<detect::FrameRun> runs;
    detect::DetectEnergyBased(*e, maxEnergy_, detectThreshold_, runs);
    InsertRuns(runs);
}

void CVadEngine::DetectEnergyGlitch(int channel) {
    const FrameArray* e = energy(channel);
    if (e == nullptr || !workBuf_[channel]) {
        return;
    }
    // The block follows the loaded file, so the same file always gives the same result
    // whatever was analysed before it.
    blockFrames_ = frameLength_;
    FrameArray& blockSums = *workBuf_[channel];
    detect::ComputeBlockSums(*e, blockFrames_, blockSums);
    std::vector<detect::FrameRun> runs;
    detect::DetectEnergyGlitch(*e, blockSums, maxEnergy_, prefilterThreshold_, detectThreshold_,
                               runs);
    InsertRuns(runs);
}

bool CVadEngine::WriteSrt(const std::string& path, std::string* error) {
    cueCount_ = 0;
    std::string reason;
    if (!WriteFileReplacing(path, BuildSrt(segments_.items()), &reason)) {
        if (error != nullptr) {
            *error = reason;
        }
        return false;
    }
    cueCount_ = static_cast<uint32_t>(segments_.size());
    return true;
}

DetectionResult CVadEngine::Run(void (CVadEngine::*detect)(int), const std::string& srtPath) {
    if (!IsLoaded()) {
        return {false, 0, "no file is loaded"};
    }
    segments_.ClearSegments();
    (this->*detect)(0);
    if (header_.nChannels == 2) {
        (this->*detect)(1);
    }
    return PostProcessAndWrite(srtPath);
}

DetectionResult CVadEngine::PostProcessAndWrite(const std::string& srtPath) {
    segments_.MergeGaps(MERGE_GAP_MS);
    segments_.ExtendEnds(END_PAD_MS);
    segments_.ShiftAll(TIME_SHIFT_MS);
    segments_.FixOverlaps();
    DetectionResult result;
    result.written = WriteSrt(srtPath, &result.error);
    result.cues = cueCount_;
    segments_.ClearSegments();
    return result;
}

void CVadEngine::SetSpeechProbabilities(std::vector<float> probabilities) {
    speech_ = std::move(probabilities);
    hasSpeech_ = true;
}

DetectionResult CVadEngine::RunSpeech(double threshold, const std::string& srtPath,
                                      bool refineEdges) {
    if (!IsLoaded()) {
        return {false, 0, "no file is loaded"};
    }
    if (!hasSpeech_) {
        return {false, 0, "the speech model has not run on this file"};
    }
    detectThreshold_ = threshold;
    std::vector<Segment> runs = speech::RunsFromProbabilities(
        speech_, threshold, static_cast<int32_t>(std::min<int64_t>(DurationMs(), INT32_MAX)));
    if (refineEdges && !runs.empty()) {
        // The model hears the channels mixed, so its edges are matched against both.
        FrameArray both(*energy_[0]);
        if (energy_[1]) {
            for (std::size_t f = 0; f < both.size(); ++f) {
                both[f] += (*energy_[1])[f];
            }
        }
        speech::EnergyTrack track{both, header_.nSamplesPerSec, frameLength_, windowLength_};
        speech::RefineEdges(runs, track);
    }
    segments_.ClearSegments();
    segments_.InsertSegments(runs);
    return PostProcessAndWrite(srtPath);
}

DetectionResult CVadEngine::RunEnergyBased(double threshold, const std::string& srtPath) {
    detectThreshold_ = threshold;
    return Run(&CVadEngine::DetectEnergyBased, srtPath);
}

DetectionResult CVadEngine::RunEnergyGlitch(double threshold, double prefilter,
                                            const std::string& srtPath) {
    detectThreshold_ = threshold;
    prefilterThreshold_ = prefilter;
    return Run(&CVadEngine::DetectEnergyGlitch, srtPath);
}

} // namespace kestrun
