// The loaded WAV read from any frame, and its playing on the sound device.
#include "Playback.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QElapsedTimer>
#include <QIODevice>
#include <QMediaDevices>

#include <algorithm>
#include <cstring>
#include <vector>

#include "Text.h"

namespace kestrun {

bool WavClip::Open(const std::string& path, std::string* why) {
    converter_.reset();
    f_.reset(std::fopen(path.c_str(), "rb"));
    uint64_t size = 0;
    if (!f_ || !OpenFileSize(f_.get(), &size)) {
        if (why != nullptr) {
            *why = Tr("не удалось открыть файл");
        }
        return false;
    }
    const WavResolution r = ResolveWavFile(f_.get(), size);
    if (!r.ok) {
        if (why != nullptr) {
            *why = r.why;
        }
        return false;
    }
    layout_ = r.layout;
    converter_ = std::make_unique<WavSampleConverter>(layout_);
    return true;
}

std::size_t WavClip::Read(uint64_t first, std::size_t count, int16_t* out) {
    if (!converter_ || first >= layout_.frames) {
        return 0;
    }
    count = static_cast<std::size_t>(std::min<uint64_t>(count, layout_.frames - first));
    raw_.resize(count * layout_.blockAlign);
    const std::size_t got = ReadFileAt(f_.get(), layout_.dataOffset + first * layout_.blockAlign,
                                       raw_.data(), raw_.size());
    const std::size_t frames = got / layout_.blockAlign;
    converter_->Convert(raw_.data(), frames, out);
    return frames;
}

namespace {

// The end is reached within 1/50 s of it (the sink counts in whole microseconds, and may
// hold back the last few frames' count).
constexpr uint64_t END_SLACK_DIVISOR = 50;
// Or when, after the last frame was handed over, nothing more is heard for this long.
constexpr qint64 STALL_MS = 1000;

// The frames of a clip from first to end as a stream of 16-bit samples in host order.
class ClipStream : public QIODevice {
public:
    ClipStream(std::unique_ptr<WavClip> clip, uint64_t first, uint64_t end)
        : clip_(std::move(clip)), next_(first), end_(end) {}

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override {
        return static_cast<qint64>((end_ - next_) * FrameBytes()) + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const std::size_t frames = static_cast<std::size_t>(
            std::min<uint64_t>(static_cast<uint64_t>(maxSize) / FrameBytes(), end_ - next_));
        if (frames == 0) {
            return next_ >= end_ ? -1 : 0;
        }
        // QIODevice hands a char buffer: the samples go through an aligned one.
        buffer_.resize(frames * clip_->channels());
        const std::size_t got = clip_->Read(next_, frames, buffer_.data());
        if (got == 0) {
            end_ = next_; // a read error ends the clip where it is
            return -1;
        }
        next_ += got;
        std::memcpy(data, buffer_.data(), got * FrameBytes());
        return static_cast<qint64>(got * FrameBytes());
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    uint64_t FrameBytes() const { return 2u * clip_->channels(); }

    std::unique_ptr<WavClip> clip_;
    uint64_t next_;
    uint64_t end_;
    std::vector<int16_t> buffer_;
};

class DeviceOutput : public ISoundOutput {
public:
    bool Play(const std::string& wavPath, uint64_t first, uint64_t end, std::string* why) override {
        Stop();
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull()) {
            *why = Tr("нет устройства вывода звука");
            return false;
        }
        auto clip = std::make_unique<WavClip>();
        if (!clip->Open(wavPath, why)) {
            return false;
        }
        end = std::min(end, clip->frames());
        QAudioFormat format;
        format.setSampleRate(static_cast<int>(clip->sampleRate()));
        format.setChannelCount(static_cast<int>(clip->channels()));
        format.setSampleFormat(QAudioFormat::Int16);
        rate_ = clip->sampleRate();
        first_ = first;
        end_ = std::max(first, end);
        lastHeard_ = first;
        stalled_.invalidate();
        stream_ = std::make_unique<ClipStream>(std::move(clip), first, end_);
        stream_->open(QIODevice::ReadOnly);
        sink_ = std::make_unique<QAudioSink>(device, format);
        sink_->start(stream_.get());
        if (sink_->error() != QAudio::NoError) {
            Stop();
            *why = Tr("устройство вывода звука не принимает этот формат");
            return false;
        }
        return true;
    }

    void Stop() override {
        if (sink_) {
            sink_->stop();
        }
        sink_.reset();
        stream_.reset();
    }

    std::optional<uint64_t> Position() const override {
        if (!sink_ || sink_->state() == QAudio::StoppedState) {
            return std::nullopt;
        }
        const uint64_t heard = std::min(
            end_, first_ + static_cast<uint64_t>(sink_->processedUSecs()) * rate_ / 1'000'000);
        // Once every frame is handed over the sink may stay active: the clip has ended when
        // what was heard comes within a few milliseconds of its end, or stops moving.
        if (stream_->bytesAvailable() == 0) {
            if (sink_->state() == QAudio::IdleState || heard + rate_ / END_SLACK_DIVISOR >= end_) {
                return std::nullopt;
            }
            if (heard != lastHeard_ || !stalled_.isValid()) {
                stalled_.start();
            } else if (stalled_.elapsed() > STALL_MS) {
                return std::nullopt;
            }
        }
        lastHeard_ = heard;
        return heard;
    }

private:
    std::unique_ptr<ClipStream> stream_;
    std::unique_ptr<QAudioSink> sink_;
    uint64_t rate_ = 0;
    uint64_t first_ = 0;
    uint64_t end_ = 0;
    mutable uint64_t lastHeard_ = 0;
    mutable QElapsedTimer stalled_; // since what was heard last moved, after the last frame
};

} // namespace

std::unique_ptr<ISoundOutput> MakeDeviceOutput() {
    return std::make_unique<DeviceOutput>();
}

} // namespace kestrun
