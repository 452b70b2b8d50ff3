// Every common WAV layout, read by one exact rule into the 16-bit samples the engine's
// energies are computed from.
//
// CONTAINERS. RIFF/WAVE; RF64 and BW64 (a "ds64" chunk first, holding the 64-bit RIFF and
// data sizes that the 32-bit fields mark with 0xFFFFFFFF); Sony Wave64 (.w64: GUID chunk
// ids, 64-bit chunk sizes that count the 24-byte chunk header, chunks 8-byte aligned). Any
// chunks may stand before the data (LIST, bext, JUNK, fact, PAD, iXML, ...) or after it;
// a RIFF chunk of odd size is followed by one pad byte. The format chunk must come before
// the data chunk; only the first data chunk is read, as far as its size says.
//
// SAMPLE FORMATS. PCM (format tag 1) of 1 to 32 bits, IEEE float (tag 3) of 32 or 64 bits,
// and WAVE_FORMAT_EXTENSIBLE (0xFFFE) whose sub-format GUID is PCM or IEEE float, with any
// wValidBitsPerSample up to the container width and any channel mask. A sample's
// container is wBitsPerSample rounded up to whole bytes, and nBlockAlign must equal
// channels x container bytes.
//
// THE CONVERSION RULE. Results of different layouts are comparable because every sample
// becomes a 16-bit value in exactly this way, on its own:
//   - integer samples are taken at their container width (valid bits are the top bits, so
//     the container is what counts): 16-bit ones as they are; wider ones keep their top
//     16 bits, an arithmetic shift right by (width - 16): 8 for 24-bit, 16 for 32-bit;
//     8-bit ones (unsigned) become (s - 128) * 256;
//   - float samples (32 or 64 bit) become x * 32768 rounded to nearest, ties to even,
//     clamped to [-32768, 32767]; NaN becomes 0.
// One or two channels are kept as they are. More channels are mixed down to stereo after
// that conversion, the way ffmpeg's default downmix does (libswresample's default matrix):
// FL -> L and FR -> R at 1; FC to both at 1/sqrt(2); BL and SL -> L, BR and SR -> R at
// 1/sqrt(2); BC to both at 1/sqrt(2) x 1/sqrt(2); FLC -> L and FRC -> R at 1; LFE and every
// other speaker (top, wide, ...) dropped; then, when the larger of the two rows' sums of
// |coefficient| exceeds 1, every coefficient divided by it. (ffmpeg mixes 16-bit samples
// in 15-bit fixed point with rounded coefficients and rounds halves up: its results differ
// from these by at most one step, two for 7.1.) The speakers are the extensible's mask
// when it names as many speakers as there are channels, else ffmpeg's default layout for
// the count: 3 = 2.1, 4 = 4.0, 5 = 5.0, 6 = 5.1, 7 = 6.1, 8 = 7.1, 16 = hexadecagonal;
// other counts, and masks ffmpeg refuses (no front speaker, a left without its right),
// are refused. Each output sample is the sum over the channels, in channel order, of
// coefficient x 16-bit sample in double precision, rounded to nearest (ties to even) and
// clamped to [-32768, 32767].
//
// A file in any layout therefore gives exactly the frame energies (and so the cues) of the
// canonical 16-bit WAV that holds these samples: the file WriteCanonicalCopy writes.
//
// Messages (why, description) are one short Russian line for the log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "WavHeader.h"

namespace kestrun {

enum class WavContainer : uint8_t {
    Riff,   // RIFF/WAVE
    Rf64,   // RF64/WAVE (EBU Tech 3306)
    Bw64,   // BW64/WAVE (ITU-R BS.2088): read as RF64
    Wave64, // Sony Wave64
};

struct WavLayout {
    WavContainer container = WavContainer::Riff;
    uint16_t formatTag = 0; // wFormatTag as written: 1, 3 or 0xFFFE
    bool isFloat = false;   // IEEE float samples, else integer PCM
    uint16_t channels = 0;  // in the file
    uint32_t sampleRate = 0;
    uint16_t bitsPerSample = 0;  // wBitsPerSample
    uint16_t validBits = 0;      // wValidBitsPerSample of an extensible format, else bitsPerSample
    uint16_t containerBytes = 0; // bytes per sample
    uint16_t blockAlign = 0;     // bytes per frame: channels x containerBytes
    uint32_t channelMask = 0;    // the extensible format's mask as written, 0 without one
    // The speakers the downmix works from (ffmpeg's bits, the WAV mask's for the first 18);
    // 0 for one or two channels, which are never mixed.
    uint64_t speakers = 0;
    uint16_t outChannels = 0; // after the downmix: 1 or 2
    uint64_t dataOffset = 0;  // file offset of the first sample
    uint64_t dataSize = 0;    // data bytes read: the data chunk's size as its header says
    uint64_t frames = 0;      // whole frames in dataSize
};

// What ProbeWavFile finds: whether CVadEngine::LoadWav would take the file (its header and
// sizes; the samples are not read), and how.
struct WavProbe {
    bool ok = false;
    WavLayout layout; // when ok
    // The file is a 16-bit WAV with the canonical 44-byte header that the engine reads as it
    // stands, so it may be mixed to mono or normalised in place.
    bool canonical16 = false;
    // When !ok, the one-line Russian reason; when ok, what the file is
    // ("WAV: 24 бит, 6 каналов, 48000 Гц").
    std::string description;
};

WavProbe ProbeWavFile(const std::string& path);

// Writes src, converted by the rule (mixed down to stereo when it has more channels), as a
// 16-bit WAV with the canonical 44-byte header at dst, replacing dst. Loading the copy
// gives exactly the energies of loading src. A src that LoadWav would refuse, a copy
// whose data would not fit a 32-bit RIFF, or any read or write error fails with *why set;
// no partial dst is left behind. An empty src gives a copy with two spare bytes after the
// header, so that the engine (which refuses a bare 44-byte header) loads it too.
bool WriteCanonicalCopy(const std::string& src, const std::string& dst, std::string* why = nullptr);

// "WAV: 24 бит, плавающая точка, 6 каналов, 48000 Гц".
std::string DescribeWavLayout(const WavLayout& layout);

// ---- For the engine and the speech reader: resolving a file, converting its samples ----

// How a file will be read, decided from its header and size alone.
struct WavResolution {
    bool ok = false;
    std::string why;  // when !ok
    WavLayout layout; // when ok
    // Read by the engine's original 16-bit path: the header passes IsAcceptedWavHeader,
    // has channels, 16 bits, and a file longer than the header. layout then describes that
    // path's reading (data at byte 44, dataSize / (2 x channels) frames of 16-bit samples),
    // and header holds the 44 bytes as read.
    bool canonical16 = false;
    WavHeader header{};
};

// What a file whose header is complete but sizes not yet written looks like: the format
// only, sizes ignored.
enum class WavParse { Ok, NeedMore, Refused };

// Resolves the open file f of fileSize bytes exactly as LoadWav does, including its rule
// that a file of no more than 44 bytes is refused (unless allowHeaderOnly: the speech
// reader takes a bare 44-byte header as an empty file). Reads through f with seeks.
WavResolution ResolveWavFile(std::FILE* f, uint64_t fileSize, bool allowHeaderOnly = false);

// The header of a file another process is still writing: the format fields and where the
// data starts, whatever its RIFF and data sizes say. NeedMore when the file ends before the
// data chunk's header; Refused (with *why) for a file the engine does not read.
WavParse ParseGrowingWav(std::FILE* f, WavLayout* layout, std::string* why);

// Whether two layouts turn the same data bytes into the same 16-bit frames.
bool SameSampleLayout(const WavLayout& a, const WavLayout& b);

// The canonical header of the 16-bit file equivalent to a resolved layout: outChannels,
// the rate, frames x outChannels x 2 data bytes (saturated at the largest size a RIFF
// holds).
WavHeader CanonicalHeaderFor(const WavLayout& layout);

// Converts whole frames of a layout's data bytes to 16-bit frames of outChannels samples,
// by the rule, in host byte order.
class WavSampleConverter {
public:
    explicit WavSampleConverter(const WavLayout& layout);
    // The data bytes already are the output (16-bit integers, one or two channels): on a
    // little-endian host they may be used as they lie.
    bool identity() const { return identity_; }
    void Convert(const uint8_t* data, std::size_t frames, int16_t* out) const;

private:
    void ConvertSamples(const uint8_t* data, std::size_t count, int16_t* out) const;

    WavLayout layout_;
    bool identity_ = false;
    std::vector<double> coefficients_; // left row, then right row, one per input channel
};

// Reads a resolved file's frames in steps, converted to 16-bit frames of outChannels.
class WavFrameReader {
public:
    // stepBytes: data bytes read at a time (rounded down to whole frames, at least one).
    WavFrameReader(std::FILE* f, const WavLayout& layout, std::size_t stepBytes);
    // The next step's frames (0 at the end of the data); false on a read error or a file
    // shorter than its header says.
    bool Next(const int16_t** samples, std::size_t* frames);
    uint64_t framesLeft() const { return framesLeft_; }

private:
    std::FILE* f_;
    WavLayout layout_;
    WavSampleConverter converter_;
    std::vector<uint8_t> raw_;
    std::vector<int16_t> out_;
    std::size_t stepFrames_ = 0;
    uint64_t framesLeft_ = 0;
    bool started_ = false;
};

// Reads up to size bytes at offset; the number read (short at the end of the file).
std::size_t ReadFileAt(std::FILE* f, uint64_t offset, void* data, std::size_t size);

// The current size of the open file (through the handle, not its path).
bool OpenFileSize(std::FILE* f, uint64_t* size);

} // namespace kestrun
