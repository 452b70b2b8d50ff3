// The speech model's pass over a WAV file: read in chunks, mix, resample, infer.
#include "SpeechAudio.h"

#include <soxr.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>

#include "WavHeader.h"

namespace kestrun {
namespace {

// Bytes read at a time: a multiple of 4, so no stereo frame is split; about 6 s of CD audio.
constexpr std::size_t STEP_BYTES = 1 << 20;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
struct SoxrDeleter {
    void operator()(soxr_t s) const { soxr_delete(s); }
};

SpeechAnalysis Fail(std::string why) {
    SpeechAnalysis a;
    a.error = std::move(why);
    return a;
}

SpeechAnalysis Analyse(const std::string& wavPath, const SpeechModel& model,
                       const SpeechRunOptions& options) {
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(wavPath.c_str(), "rb"));
    std::error_code ec;
    const uint64_t fileSize = std::filesystem::file_size(wavPath, ec);
    uint8_t raw[WAV_HEADER_BYTES];
    if (!f || ec || std::fread(raw, 1, sizeof raw, f.get()) != sizeof raw) {
        return Fail("не читается файл " + wavPath);
    }
    const WavHeader h = ParseWavHeader(std::span<const uint8_t, WAV_HEADER_BYTES>(raw));
    if (!IsAcceptedWavHeader(h, static_cast<uint32_t>(fileSize)) || h.nChannels == 0 ||
        h.dataSize > fileSize - WAV_HEADER_BYTES) {
        return Fail("не канонический 16-битный WAV PCM: " + wavPath);
    }
    const uint32_t rate = h.nSamplesPerSec;
    if (rate < SPEECH_MIN_RATE || rate > SPEECH_MAX_RATE) {
        return Fail("частота " + std::to_string(rate) +
                    " Гц не годится для модели речи (нужна от " + std::to_string(SPEECH_MIN_RATE) +
                    " до " + std::to_string(SPEECH_MAX_RATE) + " Гц)");
    }
    const unsigned channels = h.nChannels;
    const uint64_t frames = h.dataSize / (2 * channels);

    // A file already at 16 kHz goes to the network as it is; others through soxr.
    std::unique_ptr<soxr, SoxrDeleter> resampler;
    if (rate != SPEECH_RATE) {
        soxr_error_t err = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        resampler.reset(soxr_create(rate, SPEECH_RATE, 1, &err, &io, &quality, &runtime));
        if (err != nullptr || !resampler) {
            return Fail(std::string("передискретизация: ") +
                        (err != nullptr ? err : "не запустилась"));
        }
    }

    SpeechAnalysis result;
    result.probabilities.reserve(
        static_cast<std::size_t>(frames * SPEECH_RATE / rate / SPEECH_WINDOW + 2));
    CSpeechNet net(model, options.threads);
    std::vector<uint8_t> bytes(STEP_BYTES);
    std::vector<float> mono;
    std::vector<float> resampled;
    auto feed = [&](const float* in, std::size_t count) {
        if (!resampler) {
            net.Push({in, count}, result.probabilities);
            return true;
        }
        // Enough room for everything count samples can give, plus what soxr held back.
        resampled.resize(count * SPEECH_RATE / rate + 4096);
        for (;;) {
            std::size_t used = 0;
            std::size_t made = 0;
            const soxr_error_t err = soxr_process(resampler.get(), in, count, &used,
                                                  resampled.data(), resampled.size(), &made);
            if (err != nullptr) {
                return false;
            }
            net.Push({resampled.data(), made}, result.probabilities);
            if (in == nullptr ? made == 0 : used == count) {
                return true;
            }
            if (in != nullptr) {
                in += used;
                count -= used;
            }
        }
    };

    int lastPercent = -1;
    uint64_t left = frames * 2 * channels;
    const uint64_t total = left;
    while (left > 0) {
        if (options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed)) {
            result.cancelled = true;
            return result;
        }
        const std::size_t chunk = static_cast<std::size_t>(std::min<uint64_t>(left, STEP_BYTES));
        if (std::fread(bytes.data(), 1, chunk, f.get()) != chunk) {
            return Fail("не читается файл " + wavPath);
        }
        left -= chunk;
        const std::size_t n = chunk / (2 * channels);
        mono.resize(n);
        auto sample = [&](std::size_t k) {
            return static_cast<float>(static_cast<int16_t>(
                static_cast<uint16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8))));
        };
        if (channels == 1) {
            for (std::size_t k = 0; k < n; ++k) {
                mono[k] = sample(k) / 32768.0f;
            }
        } else {
            for (std::size_t k = 0; k < n; ++k) {
                mono[k] = (sample(2 * k) + sample(2 * k + 1)) / 2.0f / 32768.0f;
            }
        }
        if (!feed(mono.data(), n)) {
            return Fail("ошибка передискретизации");
        }
        const int percent = static_cast<int>((total - left) * 100 / total);
        if (percent != lastPercent && options.progress) {
            lastPercent = percent;
            options.progress(percent);
        }
    }
    if (resampler && !feed(nullptr, 0)) {
        return Fail("ошибка передискретизации");
    }
    net.Finish(result.probabilities);
    if (options.progress && lastPercent != 100) {
        options.progress(100);
    }
    result.ok = true;
    return result;
}

} // namespace

SpeechAnalysis AnalyseSpeech(const std::string& wavPath, const SpeechModel& model,
                             const SpeechRunOptions& options) {
    try {
        return Analyse(wavPath, model, options);
    } catch (const std::bad_alloc&) {
        return Fail("не хватило памяти");
    }
}

} // namespace kestrun
