// The speech model's pass over a WAV file: read in chunks (any layout, by the engine's
// rule), mix, resample, infer.
#include "SpeechAudio.h"

#include <soxr.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>

#include "Text.h"
#include "WavFormat.h"

namespace kestrun {
namespace {

// Data bytes read at a time (whole frames); about 6 s of 16-bit stereo CD audio.
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
    if (!f || ec) {
        return Fail(Fill(Tr("не читается файл %1"), {wavPath}));
    }
    std::setvbuf(f.get(), nullptr, _IONBF, 0);
    // Every layout the engine reads, by the same rule (a bare 44-byte header is an empty
    // file here).
    const WavResolution wav = ResolveWavFile(f.get(), fileSize, true);
    if (!wav.ok) {
        return Fail(wav.why + ": " + wavPath);
    }
    const uint32_t rate = wav.layout.sampleRate;
    if (rate < SPEECH_MIN_RATE || rate > SPEECH_MAX_RATE) {
        return Fail(Fill(Tr("частота %1 Гц не годится для модели речи (нужна от %2 до %3 Гц)"),
                         {std::to_string(rate), std::to_string(SPEECH_MIN_RATE),
                          std::to_string(SPEECH_MAX_RATE)}));
    }
    const unsigned channels = wav.layout.outChannels;
    const uint64_t frames = wav.layout.frames;

    // A file already at 16 kHz goes to the network as it is; others through soxr.
    std::unique_ptr<soxr, SoxrDeleter> resampler;
    if (rate != SPEECH_RATE) {
        soxr_error_t err = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        resampler.reset(soxr_create(rate, SPEECH_RATE, 1, &err, &io, &quality, &runtime));
        if (err != nullptr || !resampler) {
            return Fail(
                Fill(Tr("передискретизация: %1"), {err != nullptr ? err : Tr("не запустилась")}));
        }
    }

    SpeechAnalysis result;
    result.probabilities.reserve(
        static_cast<std::size_t>(frames * SPEECH_RATE / rate / SPEECH_WINDOW + 2));
    CSpeechNet net(model, options.threads);
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
    WavFrameReader reader(f.get(), wav.layout, STEP_BYTES);
    while (reader.framesLeft() > 0) {
        if (options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed)) {
            result.cancelled = true;
            return result;
        }
        const int16_t* s = nullptr;
        std::size_t n = 0;
        if (!reader.Next(&s, &n) || n == 0) {
            return Fail(Fill(Tr("не читается файл %1"), {wavPath}));
        }
        mono.resize(n);
        if (channels == 1) {
            for (std::size_t k = 0; k < n; ++k) {
                mono[k] = static_cast<float>(s[k]) / 32768.0f;
            }
        } else {
            for (std::size_t k = 0; k < n; ++k) {
                mono[k] = (static_cast<float>(s[2 * k]) + static_cast<float>(s[2 * k + 1])) / 2.0f /
                          32768.0f;
            }
        }
        if (!feed(mono.data(), n)) {
            return Fail(Tr("ошибка передискретизации"));
        }
        const int percent = static_cast<int>((frames - reader.framesLeft()) * 100 / frames);
        if (percent != lastPercent && options.progress) {
            lastPercent = percent;
            options.progress(percent);
        }
    }
    if (resampler && !feed(nullptr, 0)) {
        return Fail(Tr("ошибка передискретизации"));
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
        return Fail(Tr("не хватило памяти"));
    }
}

} // namespace kestrun
