// Listening to the loaded file: its frames as the engine reads them (16-bit, one or two
// channels, any layout converted by the same rule), and the output they are played on,
// the sound device through Qt Multimedia or a stand-in that tests give the pane.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "WavFormat.h"

namespace kestrun {

// A WAV opened for reading frames from anywhere in it.
class WavClip {
public:
    // False, with one Russian line in *why, for a file that cannot be opened or that the
    // engine would not read.
    bool Open(const std::string& path, std::string* why = nullptr);
    uint32_t sampleRate() const { return layout_.sampleRate; }
    unsigned channels() const { return layout_.outChannels; }
    uint64_t frames() const { return layout_.frames; }

    // Up to count frames from frame first into out (count x channels() samples); the
    // number read, short at the end of the data or on a read error.
    std::size_t Read(uint64_t first, std::size_t count, int16_t* out);

private:
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f_{nullptr, &std::fclose};
    WavLayout layout_;
    std::unique_ptr<WavSampleConverter> converter_;
    std::vector<uint8_t> raw_;
};

// Where the pane's sound goes.
class ISoundOutput {
public:
    virtual ~ISoundOutput() = default;
    // Plays frames [first, end) of the WAV at wavPath, stopping whatever played. False,
    // with one Russian line in *why, when it cannot: no sound device, a file it cannot read.
    virtual bool Play(const std::string& wavPath, uint64_t first, uint64_t end,
                      std::string* why) = 0;
    virtual void Stop() = 0;
    // The frame being heard, or none once playing has stopped or come to its end.
    virtual std::optional<uint64_t> Position() const = 0;
};

// The default sound device, through Qt Multimedia.
std::unique_ptr<ISoundOutput> MakeDeviceOutput();

} // namespace kestrun
