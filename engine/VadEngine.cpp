// Loading, the engine side of the detectors, and the detection run.
#include "VadEngine.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <thread>

#include "Detectors.h"
#include "SpeechRuns.h"
#include "Srt.h"
#include "Text.h"

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
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Data bytes of another layout read at a time, and frames of them converted at a time:
// small enough that the step stays in the second-level cache from the kernel's copy to the
// conversion, and the 16-bit frames of one conversion (at most 16 KiB) in the first-level
// cache until they are summed. With 1 MiB steps a 24-bit load took about 5% longer.
constexpr std::size_t CONVERT_STEP_BYTES = 256 * 1024;
constexpr std::size_t CONVERT_FRAMES = 4096;
static_assert(CONVERT_STEP_BYTES <= LOAD_STEP_BYTES &&
              LOAD_STEP_BYTES + CONVERT_FRAMES * 4 <= READ_CHUNK_BYTES);

// A following load's wait between looks at a file that has not grown.
constexpr auto FOLLOW_POLL = std::chrono::microseconds(1500);
// Data a following load leaves unread until the writer has ended: what may turn out to be
// a chunk after the data. Longer trailing chunks make it fall back to a plain load.
constexpr uint64_t FOLLOW_HOLDBACK = 1024 * 1024;
// Pieces of the data compared through the followed handle and through the path.
constexpr int FOLLOW_SAMPLES = 8;
constexpr std::size_t FOLLOW_SAMPLE_BYTES = 4096;

void Say(std::string* why, std::string text) {
    if (why != nullptr) {
        *why = std::move(text);
    }
}

// The energy accumulation every load feeds its 16-bit frames into (one or two channels,
// interleaved), in any number of pieces. A frame's energy is the sum of WINDOW_FRAMES
// consecutive blocks of frameLength samples. Block sums are integers (exact), kept for the
// last WINDOW_FRAMES blocks only; each completed block completes the energy of the frame
// WINDOW_FRAMES - 1 blocks back. Samples past the channel's end count as 0: Finish
// completes the last frames, whose windows end in the partial block and the silence after
// it. With frames unknown (a file still being written) the arrays grow as frames complete.
class EnergyAccumulator {
public:
    static constexpr std::size_t UNKNOWN = SIZE_MAX;

    EnergyAccumulator(std::optional<FrameArray>* energy, unsigned channels, std::size_t frameLength,
                      std::size_t windowLength, std::size_t frames, double* maxEnergy)
        : channels_(channels), fl_(frameLength), windowLength_(windowLength), frames_(frames),
          growable_(frames == UNKNOWN), maxEnergy_(*maxEnergy),
          // Only a window of 2^23 samples or more (a sample rate above 321 MHz) can reach a
          // sum that a double rounds; such windows are summed again one sample at a time.
          needSamples_(windowLength >= (1u << 23)) {
        for (unsigned c = 0; c < channels; ++c) {
            energy_[c] = &*energy[c];
        }
        maxEnergy_ = 0.0;
    }

    void Feed(const int16_t* p, std::size_t left) {
        const unsigned channels = channels_;
        if (needSamples_) {
            for (std::size_t k = 0; k < left; ++k) {
                for (unsigned c = 0; c < channels; ++c) {
                    samples_[c].push_back(p[k * channels + c]);
                }
            }
        }
        while (left > 0) {
            const std::size_t take = std::min(left, fl_ - inBlock_);
            if (channels == 1) {
                SumSquaresMono(p, take, &current_[0]);
            } else {
                SumSquaresStereo(p, take, &current_[0], &current_[1]);
            }
            p += take * channels;
            left -= take;
            inBlock_ += take;
            if (inBlock_ == fl_) {
                CompleteBlock();
                inBlock_ = 0;
            }
        }
    }

    // frames: the file's whole frame count, sampleCount / frameLength.
    void Finish(std::size_t frames) {
        frames_ = frames;
        if (growable_) {
            for (unsigned c = 0; c < channels_; ++c) {
                energy_[c]->resize(frames);
            }
        }
        while (nextFrame_ < frames_) {
            CompleteBlock();
        }
    }

private:
    void CompleteBlock() {
        const std::size_t slot = block_ % WINDOW_FRAMES;
        for (unsigned c = 0; c < channels_; ++c) {
            recent_[c][slot] = current_[c];
            current_[c] = 0;
        }
        ++block_;
        if (block_ < WINDOW_FRAMES || nextFrame_ >= frames_) {
            return;
        }
        if (growable_ && nextFrame_ >= energy_[0]->size()) {
            const std::size_t size = std::max<std::size_t>(4096, 2 * energy_[0]->size());
            for (unsigned c = 0; c < channels_; ++c) {
                energy_[c]->resize(size);
            }
        }
        for (unsigned c = 0; c < channels_; ++c) {
            uint64_t sum = 0;
            for (uint64_t b : recent_[c]) {
                sum += b;
            }
            double e = static_cast<double>(sum);
            if (sum >= EXACT_DOUBLE_LIMIT) {
                // As a double sum from 0, one sample after the other. All samples of a
                // window completed before the end are in; at the end all of the file's.
                e = 0.0;
                const std::size_t from = nextFrame_ * fl_;
                const std::size_t to = std::min(from + windowLength_, samples_[c].size());
                for (std::size_t k = from; k < to; ++k) {
                    const double s = samples_[c][k];
                    e += s * s;
                }
            }
            (*energy_[c])[nextFrame_] = e;
            // One maximum over both channels: each channel's ratios are measured against
            // the loudest frame of the file.
            if (e > maxEnergy_) {
                maxEnergy_ = e;
            }
        }
        ++nextFrame_;
    }

    const unsigned channels_;
    const std::size_t fl_;
    const std::size_t windowLength_;
    std::size_t frames_;
    const bool growable_;
    double& maxEnergy_;
    const bool needSamples_;
    FrameArray* energy_[2] = {nullptr, nullptr};
    std::vector<int16_t> samples_[2];
    uint64_t current_[2] = {0, 0};
    uint64_t recent_[2][WINDOW_FRAMES] = {};
    std::size_t block_ = 0;
    std::size_t inBlock_ = 0;
    std::size_t nextFrame_ = 0;
};

// Feeds frames frames of a layout's data bytes: as they lie when they already are 16-bit
// samples, else converted in pieces into out.
void FeedData(EnergyAccumulator& acc, const WavSampleConverter& converter, std::span<uint8_t> data,
              std::size_t frames, std::size_t blockAlign, int16_t* out) {
    if (converter.identity()) {
        acc.Feed(ChunkSamples(data.first(frames * blockAlign)), frames);
        return;
    }
    const uint8_t* p = data.data();
    for (std::size_t done = 0; done < frames;) {
        const std::size_t n = std::min(frames - done, CONVERT_FRAMES);
        converter.Convert(p + done * blockAlign, n, out);
        acc.Feed(out, n);
        done += n;
    }
}

// The 16-bit conversion area of the read buffer, after the raw step.
int16_t* ConvertArea(std::span<uint8_t> buffer) {
    return reinterpret_cast<int16_t*>(buffer.data() + LOAD_STEP_BYTES);
}

void WaitForEnd(const std::function<bool()>& writerEnded) {
    while (!writerEnded()) {
        std::this_thread::sleep_for(FOLLOW_POLL);
    }
}

// The same bytes at [offset, offset + size) through both handles.
bool SameBytes(std::FILE* a, std::FILE* b, uint64_t offset, uint64_t size) {
    uint8_t x[FOLLOW_SAMPLE_BYTES];
    uint8_t y[FOLLOW_SAMPLE_BYTES];
    while (size > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(size, sizeof x));
        if (ReadFileAt(a, offset, x, n) != n || ReadFileAt(b, offset, y, n) != n ||
            std::memcmp(x, y, n) != 0) {
            return false;
        }
        offset += n;
        size -= n;
    }
    return true;
}

} // namespace

bool CVadEngine::LoadWav(const std::string& path, std::string* why) {
    FreeAll();
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        Say(why, Tr("не удалось открыть файл"));
        return false;
    }
    std::setvbuf(f.get(), nullptr, _IONBF, 0); // chunks are large; stdio's buffer only copies
    std::error_code ec;
    const uint64_t fileSize = std::filesystem::file_size(path, ec);
    if (ec) {
        Say(why, Tr("не удалось прочитать файл"));
        return false;
    }
    return LoadWavStream(f.get(), fileSize, why);
}

bool CVadEngine::LoadWavStream(std::FILE* f, uint64_t fileSize, std::string* why) {
    FreeAll();
    if (std::fseek(f, 0, SEEK_SET) != 0) {
        Say(why, Tr("ошибка чтения файла"));
        return false;
    }
    bool ok = false;
    std::string reason;
    try {
        ok = LoadOpened(f, fileSize, &reason);
    } catch (const std::bad_alloc&) {
        ok = false;
        reason = Tr("не хватило памяти");
    }
    if (!ok) {
        // A failed load leaves the engine not loaded, whatever was allocated on the way.
        for (int c = 0; c < 2; ++c) {
            energy_[c].reset();
            workBuf_[c].reset();
        }
        Say(why, reason.empty() ? Tr("ошибка чтения файла") : reason);
    }
    return ok;
}

bool CVadEngine::LoadOpened(std::FILE* f, uint64_t fileSize, std::string* why) {
    const uint32_t fileSize32 = static_cast<uint32_t>(fileSize);
    if (fileSize32 > WAV_HEADER_BYTES) {
        uint8_t raw[WAV_HEADER_BYTES];
        if (std::fread(raw, 1, sizeof raw, f) != sizeof raw) {
            return false;
        }
        header_ = ParseWavHeader(std::span<const uint8_t, WAV_HEADER_BYTES>(raw));
        if (IsAcceptedWavHeader(header_, fileSize32) && header_.nChannels != 0 &&
            header_.wBitsPerSample == 16) {
            return LoadCanonical(f, fileSize, why);
        }
        header_ = WavHeader{};
    }
    // Every other layout: read by the rule, or refused with what the file is.
    const WavResolution r = ResolveWavFile(f, fileSize);
    if (!r.ok) {
        Say(why, r.why);
        return false;
    }
    return LoadConverted(f, r.layout, why);
}

void CVadEngine::SetGeometry(uint32_t sampleRate) {
    frameLength_ = sampleRate / 115 + 1;
    windowLength_ = frameLength_ * windowFrames_;
}

void CVadEngine::AllocateEnergies(unsigned channels, std::size_t frames) {
    for (unsigned c = 0; c < channels; ++c) {
        energy_[c].emplace(frames);  // filled by the accumulation, frame by frame
        workBuf_[c].emplace(frames); // the glitch detector's scratch: contents undefined
    }
}

bool CVadEngine::LoadCanonical(std::FILE* f, uint64_t fileSize, std::string* why) {
    const unsigned channels = header_.nChannels;
    SetGeometry(header_.nSamplesPerSec);
    // A header that promises more data than the file holds fails before anything is
    // allocated from it.
    if (header_.dataSize > fileSize - WAV_HEADER_BYTES) {
        Say(why, Tr("данных меньше, чем обещает заголовок"));
        return false;
    }
    sampleCount_ = header_.dataSize / (2 * channels);
    frameCount_ = sampleCount_ / frameLength_;
    const std::size_t frames = frameCount_;
    AllocateEnergies(channels, frames);
    EnergyAccumulator acc(energy_, channels, frameLength_, windowLength_, frames, &maxEnergy_);

    // Steps smaller than the buffer keep each step in the cache between the kernel's
    // copy and the sums.
    const std::span<uint8_t> buffer = readBuffer().first(LOAD_STEP_BYTES);
    const std::size_t frameBytes = 2 * channels;
    const uint64_t total = static_cast<uint64_t>(sampleCount_) * frameBytes;
    uint64_t remaining = total;
    while (remaining > 0) {
        const std::size_t chunk =
            static_cast<std::size_t>(std::min<uint64_t>(remaining, buffer.size()));
        if (std::fread(buffer.data(), 1, chunk, f) != chunk) {
            Say(why, Tr("ошибка чтения файла"));
            return false;
        }
        remaining -= chunk;
        acc.Feed(ChunkSamples(buffer.first(chunk)), chunk / frameBytes);
        if (progress_) {
            progress_(total - remaining, total);
        }
    }
    acc.Finish(frames);
    return true;
}

bool CVadEngine::LoadConverted(std::FILE* f, const WavLayout& layout, std::string* why) {
    const unsigned channels = layout.outChannels;
    header_ = CanonicalHeaderFor(layout);
    SetGeometry(layout.sampleRate);
    sampleCount_ = static_cast<uint32_t>(layout.frames);
    frameCount_ = sampleCount_ / frameLength_;
    const std::size_t frames = frameCount_;
    AllocateEnergies(channels, frames);
    EnergyAccumulator acc(energy_, channels, frameLength_, windowLength_, frames, &maxEnergy_);

    const WavSampleConverter converter(layout);
    const std::span<uint8_t> buffer = readBuffer();
    const std::size_t blockAlign = layout.blockAlign;
    const std::size_t stepFrames = CONVERT_STEP_BYTES / blockAlign;
    if (layout.dataOffset > static_cast<uint64_t>(LONG_MAX) ||
        std::fseek(f, static_cast<long>(layout.dataOffset), SEEK_SET) != 0) {
        Say(why, Tr("ошибка чтения файла"));
        return false;
    }
    uint64_t remaining = sampleCount_;
    while (remaining > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(remaining, stepFrames));
        if (std::fread(buffer.data(), 1, n * blockAlign, f) != n * blockAlign) {
            Say(why, Tr("ошибка чтения файла"));
            return false;
        }
        remaining -= n;
        FeedData(acc, converter, buffer, n, blockAlign, ConvertArea(buffer));
        if (progress_) {
            progress_((sampleCount_ - remaining) * blockAlign,
                      static_cast<uint64_t>(sampleCount_) * blockAlign);
        }
    }
    acc.Finish(frames);
    return true;
}

bool CVadEngine::LoadWavFollowing(const std::string& path, const std::function<bool()>& writerEnded,
                                  std::string* why) {
    FreeAll();
    FollowOutcome outcome = FollowOutcome::Fallback;
    try {
        outcome = Follow(path, writerEnded);
    } catch (const std::bad_alloc&) {
        WaitForEnd(writerEnded);
        outcome = FollowOutcome::Fallback;
    }
    if (outcome == FollowOutcome::Loaded) {
        return true;
    }
    return LoadWav(path, why);
}

CVadEngine::FollowOutcome CVadEngine::Follow(const std::string& path,
                                             const std::function<bool()>& writerEnded) {
    // 1. The header: the file may not exist yet, or hold only part of its header.
    FilePtr f;
    WavLayout layout;
    for (;;) {
        // Asked before looking, so that what is seen after an end is the finished file.
        const bool ended = writerEnded();
        if (!f) {
            f.reset(std::fopen(path.c_str(), "rb"));
            if (f) {
                std::setvbuf(f.get(), nullptr, _IONBF, 0);
            }
        }
        if (f) {
            std::string ignored;
            const WavParse p = ParseGrowingWav(f.get(), &layout, &ignored);
            if (p == WavParse::Ok) {
                break;
            }
            if (p == WavParse::Refused) {
                WaitForEnd(writerEnded); // not a layout this follows: LoadWav decides
                return FollowOutcome::Fallback;
            }
        }
        if (ended) {
            return FollowOutcome::Fallback;
        }
        std::this_thread::sleep_for(FOLLOW_POLL);
    }

    // 2. The data as it arrives, its last FOLLOW_HOLDBACK bytes kept back.
    const unsigned channels = layout.outChannels;
    SetGeometry(layout.sampleRate);
    for (unsigned c = 0; c < channels; ++c) {
        energy_[c].emplace();
    }
    EnergyAccumulator acc(energy_, channels, frameLength_, windowLength_,
                          EnergyAccumulator::UNKNOWN, &maxEnergy_);
    const WavSampleConverter converter(layout);
    const std::span<uint8_t> buffer = readBuffer();
    const std::size_t blockAlign = layout.blockAlign;
    const std::size_t stepFrames = LOAD_STEP_BYTES / blockAlign;
    uint64_t pos = layout.dataOffset;
    uint64_t consumed = 0;   // frames fed
    uint64_t totalBytes = 0; // known once the writer has ended
    uint64_t lastSize = 0;
    auto take = [&](std::size_t n) {
        const std::size_t bytes = n * blockAlign;
        if (ReadFileAt(f.get(), pos, buffer.data(), bytes) != bytes) {
            return false;
        }
        FeedData(acc, converter, buffer, n, blockAlign, ConvertArea(buffer));
        pos += bytes;
        consumed += n;
        if (progress_) {
            progress_(consumed * blockAlign, totalBytes);
        }
        return true;
    };
    for (;;) {
        if (writerEnded()) {
            break;
        }
        uint64_t size = 0;
        if (!OpenFileSize(f.get(), &size) || size < lastSize) {
            WaitForEnd(writerEnded); // truncated under the handle: start again from the path
            return FollowOutcome::Fallback;
        }
        lastSize = size;
        const uint64_t usable = size > pos + FOLLOW_HOLDBACK ? size - pos - FOLLOW_HOLDBACK : 0;
        const std::size_t n =
            static_cast<std::size_t>(std::min<uint64_t>(usable / blockAlign, stepFrames));
        if (n == 0) {
            std::this_thread::sleep_for(FOLLOW_POLL);
            continue;
        }
        if (consumed + n > UINT32_MAX || !take(n)) {
            WaitForEnd(writerEnded);
            return FollowOutcome::Fallback;
        }
    }

    // 3. The writer has ended: the finished file, as LoadWav reads it, must be the one
    // followed, with at least the data taken.
    FilePtr g(std::fopen(path.c_str(), "rb"));
    std::error_code ec;
    const uint64_t fileSize = std::filesystem::file_size(path, ec);
    if (!g || ec) {
        return FollowOutcome::Fallback;
    }
    std::setvbuf(g.get(), nullptr, _IONBF, 0);
    const WavResolution r = ResolveWavFile(g.get(), fileSize);
    uint64_t handleSize = 0;
    if (!r.ok || !SameSampleLayout(r.layout, layout) || r.layout.frames < consumed ||
        !OpenFileSize(f.get(), &handleSize) || handleSize != fileSize) {
        return FollowOutcome::Fallback;
    }
    if (!SameBytes(f.get(), g.get(), 0, layout.dataOffset)) {
        return FollowOutcome::Fallback;
    }
    const uint64_t tail = fileSize - layout.dataOffset;
    for (int i = 0; i <= FOLLOW_SAMPLES; ++i) {
        const uint64_t at =
            layout.dataOffset +
            (tail > FOLLOW_SAMPLE_BYTES ? (tail - FOLLOW_SAMPLE_BYTES) * i / FOLLOW_SAMPLES : 0);
        if (!SameBytes(f.get(), g.get(), at, std::min<uint64_t>(tail, FOLLOW_SAMPLE_BYTES))) {
            return FollowOutcome::Fallback;
        }
    }
    const uint64_t frames = r.layout.frames;
    totalBytes = frames * blockAlign;
    while (consumed < frames) {
        if (!take(static_cast<std::size_t>(std::min<uint64_t>(frames - consumed, stepFrames)))) {
            return FollowOutcome::Fallback;
        }
    }
    header_ = r.canonical16 ? r.header : CanonicalHeaderFor(r.layout);
    sampleCount_ = static_cast<uint32_t>(frames);
    frameCount_ = sampleCount_ / frameLength_;
    acc.Finish(frameCount_);
    for (unsigned c = 0; c < channels; ++c) {
        workBuf_[c].emplace(frameCount_); // the glitch detector's scratch
    }
    return FollowOutcome::Loaded;
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
    if (!WriteFileReplacing(path, BuildCues(cueFormat_, segments_.items()), &reason)) {
        if (error != nullptr) {
            *error = reason;
        }
        return false;
    }
    cueCount_ = static_cast<uint32_t>(segments_.size());
    return true;
}

void CVadEngine::DetectChannels(void (CVadEngine::*detect)(int)) {
    segments_.ClearSegments();
    (this->*detect)(0);
    if (header_.nChannels == 2) {
        (this->*detect)(1);
    }
}

DetectionResult CVadEngine::Run(void (CVadEngine::*detect)(int), const std::string& srtPath) {
    if (!IsLoaded()) {
        return {false, 0, "no file is loaded"};
    }
    DetectChannels(detect);
    return PostProcessAndWrite(srtPath);
}

void CVadEngine::PostProcess() {
    segments_.MergeGaps(MERGE_GAP_MS);
    segments_.ExtendEnds(END_PAD_MS);
    segments_.ShiftAll(TIME_SHIFT_MS);
    segments_.FixOverlaps();
}

DetectionResult CVadEngine::PostProcessAndWrite(const std::string& srtPath) {
    PostProcess();
    DetectionResult result;
    result.written = WriteSrt(srtPath, &result.error);
    result.cues = cueCount_;
    segments_.ClearSegments();
    return result;
}

std::vector<Segment> CVadEngine::TakeCues() {
    PostProcess();
    std::vector<Segment> cues(segments_.items().begin(), segments_.items().end());
    segments_.ClearSegments();
    return cues;
}

void CVadEngine::SetSpeechProbabilities(std::vector<float> probabilities) {
    speech_ = std::move(probabilities);
    hasSpeech_ = true;
}

std::string CVadEngine::DetectSpeech(double threshold, bool refineEdges) {
    if (!IsLoaded()) {
        return "no file is loaded";
    }
    if (!hasSpeech_) {
        return "the speech model has not run on this file";
    }
    detectThreshold_ = threshold;
    std::vector<Segment> runs = speech::RunsFromProbabilities(
        speech_, threshold, static_cast<int32_t>(std::min<int64_t>(DurationMs(), INT32_MAX)));
    if (refineEdges && !runs.empty()) {
        // The model hears the channels mixed, so its edges are matched against both.
        speech::EnergyTrack track{*energy_[0], header_.nSamplesPerSec, frameLength_, windowLength_};
        if (energy_[1]) {
            track.second = *energy_[1];
        }
        speech::RefineEdges(runs, track);
    }
    segments_.ClearSegments();
    segments_.InsertSegments(runs);
    return {};
}

DetectionResult CVadEngine::RunSpeech(double threshold, const std::string& srtPath,
                                      bool refineEdges) {
    const std::string error = DetectSpeech(threshold, refineEdges);
    if (!error.empty()) {
        return {false, 0, error};
    }
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

std::vector<Segment> CVadEngine::CuesEnergyBased(double threshold) {
    if (!IsLoaded()) {
        return {};
    }
    detectThreshold_ = threshold;
    DetectChannels(&CVadEngine::DetectEnergyBased);
    return TakeCues();
}

std::vector<Segment> CVadEngine::CuesEnergyGlitch(double threshold, double prefilter) {
    if (!IsLoaded()) {
        return {};
    }
    detectThreshold_ = threshold;
    prefilterThreshold_ = prefilter;
    DetectChannels(&CVadEngine::DetectEnergyGlitch);
    return TakeCues();
}

std::vector<Segment> CVadEngine::CuesSpeech(double threshold, bool refineEdges) {
    return DetectSpeech(threshold, refineEdges).empty() ? TakeCues() : std::vector<Segment>{};
}

} // namespace kestrun
