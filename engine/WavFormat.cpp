// WAV layouts: container and format parsing, the conversion rule, the downmix matrix, the
// probe and the canonical copy.
#include "WavFormat.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>

#include "Text.h"

namespace kestrun {
namespace {

// ---- bytes ----

uint64_t Le64(const uint8_t* p) {
    return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// ---- messages ----

const char* const MSG_NOT_WAV = "это не WAV-файл";
const char* const MSG_EMPTY = "файл пуст";
const char* const MSG_TOO_SHORT = "файл слишком короткий для WAV";
const char* const MSG_SHORT_DATA = "данных меньше, чем обещает заголовок";
const char* const MSG_NO_DATA = "в WAV нет блока данных";
const char* const MSG_NO_FMT = "в WAV нет блока формата перед данными";
const char* const MSG_BAD_FMT = "в WAV испорчен блок формата";
const char* const MSG_RIFF_SIZE = "размер в заголовке RIFF не совпадает с размером файла";
const char* const MSG_RIFX = "WAV с обратным порядком байтов (RIFX)";
const char* const MSG_NO_DS64 = "RF64 без блока ds64";
const char* const MSG_BAD_W64 = "в Wave64 испорчен размер блока";
const char* const MSG_CANNOT_OPEN = "не удалось открыть файл";
const char* const MSG_CANNOT_READ = "ошибка чтения файла";

void Say(std::string* why, std::string text) {
    if (why != nullptr) {
        *why = std::move(text);
    }
}

// 1 канал, 2 канала, 5 каналов, 11 каналов, 21 канал; 1 channel, 21 channels. The
// Russian word is looked up in the table, so each language's form is chosen by its own rule.
std::string Channels(unsigned n) {
    const unsigned d = n % 10;
    const unsigned dd = n % 100;
    const char* word = "каналов";
    if (CurrentLang() != Lang::Ru) {
        word = n == 1 ? "канал" : "каналов";
    } else if (d == 1 && dd != 11) {
        word = "канал";
    } else if (d >= 2 && d <= 4 && (dd < 12 || dd > 14)) {
        word = "канала";
    }
    return std::to_string(n) + " " + Tr(word);
}

const char* FormatName(uint16_t code) {
    switch (code) {
    case 0x0002:
        return "MS ADPCM";
    case 0x0006:
        return "A-law";
    case 0x0007:
        return "mu-law";
    case 0x0011:
        return "IMA ADPCM";
    case 0x0031:
        return "GSM 6.10";
    case 0x0050:
        return "MPEG";
    case 0x0055:
        return "MP3";
    case 0x00FF:
    case 0x1610:
        return "AAC";
    case 0x0160:
    case 0x0161:
    case 0x0162:
    case 0x0163:
        return "WMA";
    case 0x2000:
        return "AC-3";
    case 0x2001:
        return "DTS";
    case 0xF1AC:
        return "FLAC";
    default:
        return nullptr;
    }
}

// ---- container ----

constexpr uint8_t W64_RIFF[16] = {'r',  'i',  'f',  'f',  0x2E, 0x91, 0xCF, 0x11,
                                  0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
constexpr uint8_t W64_WAVE[16] = {'w',  'a',  'v',  'e',  0xF3, 0xAC, 0xD3, 0x11,
                                  0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
constexpr uint8_t W64_FMT[16] = {'f',  'm',  't',  ' ',  0xF3, 0xAC, 0xD3, 0x11,
                                 0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
constexpr uint8_t W64_DATA[16] = {'d',  'a',  't',  'a',  0xF3, 0xAC, 0xD3, 0x11,
                                  0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
// The sub-format GUID of WAVE_FORMAT_EXTENSIBLE after its first two bytes (the format code).
constexpr uint8_t KSDATAFORMAT_TAIL[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                           0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

constexpr uint16_t TAG_PCM = 1;
constexpr uint16_t TAG_FLOAT = 3;
constexpr uint16_t TAG_EXTENSIBLE = 0xFFFE;
constexpr uint32_t SIZE_IN_DS64 = 0xFFFFFFFFu;
// Chunk offsets beyond this are refused rather than added up.
constexpr uint64_t MAX_OFFSET = uint64_t{1} << 62;

// The raw facts of a header, before any judgement.
struct RawHeader {
    WavContainer container = WavContainer::Riff;
    uint64_t containerSize = 0; // as stated: RIFF/ds64 size + 8, or the Wave64 size
    uint16_t formatTag = 0;
    uint16_t subFormat = 0;      // the extensible's code, 0 when its GUID is not one of ours
    bool subFormatKnown = false; // the GUID ends as KSDATAFORMAT_SUBTYPE_* do
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    uint16_t validBits = 0;
    uint32_t channelMask = 0;
    uint64_t dataOffset = 0;
    uint64_t dataSize = 0; // as stated (RF64: from ds64 where the chunk says 0xFFFFFFFF)
};

// Walks the chunks up to the data chunk. growing: the file is still being written, so an
// end before the data chunk's header is NeedMore, and sizes are not trusted.
WavParse ParseHeader(std::FILE* f, bool growing, RawHeader* h, std::string* why) {
    auto refuse = [&](const char* text) {
        Say(why, Tr(text));
        return WavParse::Refused;
    };
    uint8_t head[40];
    const std::size_t got = ReadFileAt(f, 0, head, sizeof head);
    if (growing && got < 16) {
        if (got >= 4 && std::memcmp(head, "RIFF", 4) != 0 && std::memcmp(head, "RF64", 4) != 0 &&
            std::memcmp(head, "BW64", 4) != 0 && std::memcmp(head, "riff", 4) != 0) {
            return refuse(MSG_NOT_WAV);
        }
        return WavParse::NeedMore;
    }
    if (got == 0) {
        return refuse(MSG_EMPTY);
    }
    uint64_t pos = 0;
    uint64_t ds64Riff = 0;
    uint64_t ds64Data = 0;
    uint32_t riff32 = 0;
    bool wave64 = false;
    if (got >= 12 && (std::memcmp(head, "RIFF", 4) == 0 || std::memcmp(head, "RF64", 4) == 0 ||
                      std::memcmp(head, "BW64", 4) == 0)) {
        if (std::memcmp(head + 8, "WAVE", 4) != 0) {
            return refuse(MSG_NOT_WAV);
        }
        h->container = head[0] == 'R' && head[1] == 'I' ? WavContainer::Riff
                       : head[0] == 'R'                 ? WavContainer::Rf64
                                                        : WavContainer::Bw64;
        riff32 = Le32(head + 4);
        h->containerSize = uint64_t{riff32} + 8;
        pos = 12;
    } else if (got >= 40 && std::memcmp(head, W64_RIFF, 16) == 0) {
        if (std::memcmp(head + 24, W64_WAVE, 16) != 0) {
            return refuse(MSG_NOT_WAV);
        }
        h->container = WavContainer::Wave64;
        h->containerSize = Le64(head + 16);
        wave64 = true;
        pos = 40;
    } else if (got >= 12 && std::memcmp(head, "RIFX", 4) == 0 &&
               std::memcmp(head + 8, "WAVE", 4) == 0) {
        return refuse(MSG_RIFX);
    } else if (growing && got < 40 && std::memcmp(head, "riff", 4) == 0) {
        return WavParse::NeedMore;
    } else {
        return refuse(MSG_NOT_WAV);
    }
    const bool rf64 = h->container == WavContainer::Rf64 || h->container == WavContainer::Bw64;

    bool haveFmt = false;
    bool first = true;
    for (;;) {
        const std::size_t headerBytes = wave64 ? 24 : 8;
        uint8_t ch[24];
        if (pos > MAX_OFFSET) {
            return refuse(MSG_NO_DATA);
        }
        if (ReadFileAt(f, pos, ch, headerBytes) != headerBytes) {
            if (growing) {
                return WavParse::NeedMore;
            }
            return refuse(haveFmt ? MSG_NO_DATA : MSG_NO_FMT);
        }
        uint64_t size = 0;
        bool isFmt = false;
        bool isData = false;
        bool isDs64 = false;
        if (wave64) {
            const uint64_t whole = Le64(ch + 16);
            isFmt = std::memcmp(ch, W64_FMT, 16) == 0;
            isData = std::memcmp(ch, W64_DATA, 16) == 0;
            if (whole < 24 && !(growing && isData)) {
                return refuse(MSG_BAD_W64);
            }
            size = whole < 24 ? 0 : whole - 24;
        } else {
            size = Le32(ch + 4);
            isFmt = std::memcmp(ch, "fmt ", 4) == 0;
            isData = std::memcmp(ch, "data", 4) == 0;
            isDs64 = std::memcmp(ch, "ds64", 4) == 0;
        }
        const uint64_t body = pos + headerBytes;
        if (rf64 && first) {
            if (!isDs64 || size < 16) {
                return refuse(MSG_NO_DS64);
            }
            uint8_t ds[16];
            if (ReadFileAt(f, body, ds, sizeof ds) != sizeof ds) {
                return growing ? WavParse::NeedMore : refuse(MSG_NO_DATA);
            }
            ds64Riff = Le64(ds);
            ds64Data = Le64(ds + 8);
            if (riff32 == SIZE_IN_DS64) {
                h->containerSize = ds64Riff + 8;
            }
        }
        first = false;
        if (isFmt && !haveFmt) {
            uint8_t fmt[40] = {};
            const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(size, 40));
            if (size < 16) {
                return refuse(MSG_BAD_FMT);
            }
            if (ReadFileAt(f, body, fmt, want) != want) {
                return growing ? WavParse::NeedMore : refuse(MSG_NO_DATA);
            }
            h->formatTag = Le16(fmt);
            h->channels = Le16(fmt + 2);
            h->sampleRate = Le32(fmt + 4);
            h->blockAlign = Le16(fmt + 12);
            h->bitsPerSample = Le16(fmt + 14);
            h->validBits = h->bitsPerSample;
            if (h->formatTag == TAG_EXTENSIBLE) {
                if (size < 40 || Le16(fmt + 16) < 22) {
                    return refuse(MSG_BAD_FMT);
                }
                const uint16_t valid = Le16(fmt + 18);
                h->validBits = valid == 0 ? h->bitsPerSample : valid;
                h->channelMask = Le32(fmt + 20);
                h->subFormat = Le16(fmt + 24);
                h->subFormatKnown = std::memcmp(fmt + 26, KSDATAFORMAT_TAIL, 14) == 0;
            }
            haveFmt = true;
        }
        if (isData) {
            if (!haveFmt) {
                return refuse(MSG_NO_FMT);
            }
            h->dataOffset = body;
            h->dataSize = rf64 && size == SIZE_IN_DS64 ? ds64Data : size;
            return WavParse::Ok;
        }
        // A Wave64 size near 2^64 would wrap the padding below back onto this chunk, and
        // the walk would never end; no file we read reaches that far anyway.
        if (size > MAX_OFFSET) {
            return refuse(MSG_NO_DATA);
        }
        // Past this chunk and its padding: one byte after an odd RIFF chunk, up to the next
        // multiple of 8 in Wave64.
        const uint64_t padded = wave64 ? (size + 24 + 7) / 8 * 8 - 24 : size + (size & 1);
        pos = body + padded;
    }
}

// The downmix's speakers: ffmpeg's channel bits, the same as the WAV mask's bits 0..17.
enum Speaker : uint64_t {
    FL = 1u << 0,
    FR = 1u << 1,
    FC = 1u << 2,
    LFE = 1u << 3,
    BL = 1u << 4,
    BR = 1u << 5,
    FLC = 1u << 6,
    FRC = 1u << 7,
    BC = 1u << 8,
    SL = 1u << 9,
    SR = 1u << 10,
    TC = 1u << 11,
    TFL = 1u << 12,
    TFC = 1u << 13,
    TFR = 1u << 14,
    TBL = 1u << 15,
    TBC = 1u << 16,
    TBR = 1u << 17,
    WL = uint64_t{1} << 31,
    WR = uint64_t{1} << 32,
};

// ffmpeg's av_channel_layout_default: the first layout of its table with that many channels.
uint64_t DefaultSpeakers(unsigned channels) {
    switch (channels) {
    case 3:
        return FL | FR | LFE; // 2.1
    case 4:
        return FL | FR | FC | BC; // 4.0
    case 5:
        return FL | FR | FC | BL | BR; // 5.0
    case 6:
        return FL | FR | FC | LFE | BL | BR; // 5.1
    case 7:
        return FL | FR | FC | LFE | BC | SL | SR; // 6.1
    case 8:
        return FL | FR | FC | LFE | BL | BR | SL | SR; // 7.1
    case 16:                                           // hexadecagonal
        return FL | FR | FC | BL | BR | BC | SL | SR | TFL | TFC | TFR | TBL | TBC | TBR | WL | WR;
    default:
        return 0;
    }
}

// libswresample's sane_layout: a front speaker, and no left without its right.
bool SaneSpeakers(uint64_t s) {
    auto pair = [s](uint64_t both) {
        const uint64_t v = s & both;
        return v == 0 || v == both;
    };
    return (s & (FL | FR | FC)) != 0 && pair(FL | FR) && pair(SL | SR) && pair(BL | BR) &&
           pair(FLC | FRC) && std::popcount(s) < 64;
}

// The speakers of a layout with more than two channels, 0 when it cannot be mixed.
uint64_t SpeakersOf(const RawHeader& h) {
    uint64_t s = 0;
    if (h.formatTag == TAG_EXTENSIBLE && h.channelMask != 0 &&
        std::popcount(h.channelMask) == h.channels) {
        s = h.channelMask;
    } else {
        s = DefaultSpeakers(h.channels);
    }
    return s != 0 && SaneSpeakers(s) ? s : 0;
}

// libswresample's auto_matrix for a stereo output, normalised as for 16-bit output; one
// coefficient per input channel (channels in speaker-bit order), left row then right row.
std::vector<double> DownmixCoefficients(uint64_t speakers) {
    constexpr double SQRT1_2 = 0.70710678118654752440; // 1/sqrt(2), every level here
    double m[2][64] = {};
    auto bit = [](uint64_t s) { return std::countr_zero(s); };
    if (speakers & FL) {
        m[0][bit(FL)] = 1.0;
    }
    if (speakers & FR) {
        m[1][bit(FR)] = 1.0;
    }
    const uint64_t unaccounted = speakers & ~(FL | FR);
    if (unaccounted & FC) {
        m[0][bit(FC)] += SQRT1_2;
        m[1][bit(FC)] += SQRT1_2;
    }
    if (unaccounted & BC) {
        m[0][bit(BC)] += SQRT1_2 * SQRT1_2;
        m[1][bit(BC)] += SQRT1_2 * SQRT1_2;
    }
    if (unaccounted & BL) {
        m[0][bit(BL)] += SQRT1_2;
        m[1][bit(BR)] += SQRT1_2;
    }
    if (unaccounted & SL) {
        m[0][bit(SL)] += SQRT1_2;
        m[1][bit(SR)] += SQRT1_2;
    }
    if (unaccounted & FLC) {
        m[0][bit(FLC)] += 1.0;
        m[1][bit(FRC)] += 1.0;
    }
    // LFE's level is 0, and nothing else has a place in stereo.
    double maxSum = 0.0;
    for (const auto& row : m) {
        double sum = 0.0;
        for (double c : row) {
            sum += std::fabs(c);
        }
        maxSum = std::max(maxSum, sum);
    }
    std::vector<double> out;
    out.reserve(2 * static_cast<std::size_t>(std::popcount(speakers)));
    for (const auto& row : m) {
        for (int b = 0; b < 64; ++b) {
            if (speakers & (uint64_t{1} << b)) {
                out.push_back(maxSum > 1.0 ? row[b] / maxSum : row[b]);
            }
        }
    }
    return out;
}

// The layout of a parsed header, or false with *why when the engine does not read it.
bool JudgeFormat(const RawHeader& h, WavLayout* out, std::string* why) {
    WavLayout l;
    l.container = h.container;
    l.formatTag = h.formatTag;
    l.channels = h.channels;
    l.sampleRate = h.sampleRate;
    l.bitsPerSample = h.bitsPerSample;
    l.validBits = h.validBits;
    l.channelMask = h.formatTag == TAG_EXTENSIBLE ? h.channelMask : 0;
    l.blockAlign = h.blockAlign;
    l.dataOffset = h.dataOffset;

    uint16_t code = h.formatTag;
    if (h.formatTag == TAG_EXTENSIBLE) {
        code = h.subFormatKnown ? h.subFormat : 0;
        if (!h.subFormatKnown) {
            Say(why, Tr("WAV с неизвестным подформатом WAVE_FORMAT_EXTENSIBLE"));
            return false;
        }
    }
    if (code != TAG_PCM && code != TAG_FLOAT) {
        const char* name = FormatName(code);
        Say(why, name != nullptr
                     ? Fill(Tr("WAV в формате %1 (код %2)"), {name, std::to_string(code)})
                     : Fill(Tr("WAV в неизвестном формате (код %1)"), {std::to_string(code)}));
        return false;
    }
    l.isFloat = code == TAG_FLOAT;
    l.containerBytes = static_cast<uint16_t>((h.bitsPerSample + 7) / 8);
    auto refuse = [&](const char* reason) {
        Say(why, DescribeWavLayout(l) + " — " + Tr(reason));
        return false;
    };
    if (h.channels == 0) {
        return refuse("нет ни одного канала");
    }
    if (h.sampleRate == 0) {
        return refuse("нулевая частота");
    }
    if (l.isFloat ? h.bitsPerSample != 32 && h.bitsPerSample != 64
                  : h.bitsPerSample == 0 || h.bitsPerSample > 32) {
        return refuse(l.isFloat ? "плавающая точка бывает только 32- и 64-битной"
                                : "такая разрядность не поддерживается");
    }
    if (h.validBits > h.bitsPerSample) {
        return refuse("значащих бит больше, чем в контейнере");
    }
    if (h.blockAlign != uint32_t{h.channels} * l.containerBytes) {
        return refuse("размер кадра не сходится с разрядностью и числом каналов");
    }
    if (h.channels > 2) {
        l.speakers = SpeakersOf(h);
        if (l.speakers == 0) {
            return refuse("неизвестно, как свести эти каналы в стерео");
        }
    }
    l.outChannels = static_cast<uint16_t>(std::min<unsigned>(h.channels, 2));
    *out = l;
    return true;
}

// ---- conversion ----

// Rounds to nearest, ties to even, for |v| <= 2^51: adding and removing 1.5 x 2^52 leaves
// the double's last place at 1. Exact, and unlike nearbyint a loop the compiler vectorises.
inline double RoundToEven(double v) {
    constexpr double MAGIC = 6755399441055744.0; // 1.5 x 2^52
    return (v + MAGIC) - MAGIC;
}

// x * 32768 by the rule; v is x already widened to double.
inline int16_t FloatToS16(double v) {
    v *= 32768.0;
    v = v > 32767.0 ? 32767.0 : v;
    v = v < -32768.0 ? -32768.0 : v;
    v = v == v ? v : 0.0; // NaN
    return static_cast<int16_t>(static_cast<int32_t>(RoundToEven(v)));
}

inline float LoadFloat(const uint8_t* p) {
    return std::bit_cast<float>(Le32(p));
}

inline double LoadDouble(const uint8_t* p) {
    return std::bit_cast<double>(Le64(p));
}

// The conversions of n samples, each on its own. Where the compiler can, each is built
// for AVX2, for SSSE3 (the byte gathers become vector shuffles, four times as fast: a
// 24-bit file must load in at most 1.5 times the time of its 16-bit equivalent) and for
// the baseline, and the processor picks one when the program starts; the results are the
// same. Not under the sanitizers: their runtimes are not ready when the pick is made.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__) &&                              \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define KESTRUN_CLONES __attribute__((target_clones("avx2", "ssse3", "default")))
#else
#define KESTRUN_CLONES
#endif

KESTRUN_CLONES void ConvertUnsigned8(const uint8_t* p, std::size_t n, int16_t* out) {
    for (std::size_t k = 0; k < n; ++k) {
        out[k] = static_cast<int16_t>((p[k] - 128) * 256);
    }
}

// Integers wider than 8 bits keep the two top bytes of their container. On a
// little-endian host those are the output's bytes as they lie, so the conversion is a
// pure byte shuffle, which vectorises best; elsewhere the bytes are put together.
template <int WIDTH> void KeepTopBytes(const uint8_t* p, std::size_t n, int16_t* out) {
    if constexpr (std::endian::native == std::endian::little) {
        auto* o = reinterpret_cast<unsigned char*>(out);
        for (std::size_t k = 0; k < n; ++k) {
            o[2 * k] = p[WIDTH * k + WIDTH - 2];
            o[2 * k + 1] = p[WIDTH * k + WIDTH - 1];
        }
    } else {
        for (std::size_t k = 0; k < n; ++k) {
            out[k] = static_cast<int16_t>(Le16(p + WIDTH * k + WIDTH - 2));
        }
    }
}

KESTRUN_CLONES void ConvertSigned16(const uint8_t* p, std::size_t n, int16_t* out) {
    KeepTopBytes<2>(p, n, out);
}

KESTRUN_CLONES void ConvertSigned24(const uint8_t* p, std::size_t n, int16_t* out) {
    KeepTopBytes<3>(p, n, out);
}

KESTRUN_CLONES void ConvertSigned32(const uint8_t* p, std::size_t n, int16_t* out) {
    KeepTopBytes<4>(p, n, out);
}

KESTRUN_CLONES void ConvertFloat32(const uint8_t* p, std::size_t n, int16_t* out) {
    for (std::size_t k = 0; k < n; ++k) {
        out[k] = FloatToS16(static_cast<double>(LoadFloat(p + 4 * k)));
    }
}

KESTRUN_CLONES void ConvertFloat64(const uint8_t* p, std::size_t n, int16_t* out) {
    for (std::size_t k = 0; k < n; ++k) {
        out[k] = FloatToS16(LoadDouble(p + 8 * k));
    }
}

} // namespace

// ---- public helpers ----

std::size_t ReadFileAt(std::FILE* f, uint64_t offset, void* data, std::size_t size) {
    // long is 64-bit on the LP64 systems this runs on; a larger offset is never reached.
    if (offset > static_cast<uint64_t>(LONG_MAX) ||
        std::fseek(f, static_cast<long>(offset), SEEK_SET) != 0) {
        return 0;
    }
    std::size_t got = 0;
    while (got < size) {
        const std::size_t n = std::fread(static_cast<uint8_t*>(data) + got, 1, size - got, f);
        if (n == 0) {
            break;
        }
        got += n;
    }
    std::clearerr(f); // an end of file now is not the end of a file still growing
    return got;
}

bool OpenFileSize(std::FILE* f, uint64_t* size) {
    if (std::fseek(f, 0, SEEK_END) != 0) {
        return false;
    }
    const long end = std::ftell(f);
    if (end < 0) {
        return false;
    }
    *size = static_cast<uint64_t>(end);
    return true;
}

std::string DescribeWavLayout(const WavLayout& l) {
    const char* kind = "WAV";
    switch (l.container) {
    case WavContainer::Riff:
        kind = "WAV";
        break;
    case WavContainer::Rf64:
        kind = "RF64";
        break;
    case WavContainer::Bw64:
        kind = "BW64";
        break;
    case WavContainer::Wave64:
        kind = "Wave64";
        break;
    }
    std::string s = Fill(Tr("%1: %2 бит"), {kind, std::to_string(l.bitsPerSample)});
    if (l.validBits != 0 && l.validBits != l.bitsPerSample) {
        s += Fill(Tr(" (значащих %1)"), {std::to_string(l.validBits)});
    }
    if (l.isFloat) {
        s += Tr(", плавающая точка");
    }
    s += ", " + Channels(l.channels) + Fill(Tr(", %1 Гц"), {std::to_string(l.sampleRate)});
    return s;
}

bool SameSampleLayout(const WavLayout& a, const WavLayout& b) {
    return a.isFloat == b.isFloat && a.channels == b.channels && a.sampleRate == b.sampleRate &&
           a.containerBytes == b.containerBytes && a.blockAlign == b.blockAlign &&
           a.speakers == b.speakers && a.outChannels == b.outChannels &&
           a.dataOffset == b.dataOffset;
}

WavHeader CanonicalHeaderFor(const WavLayout& l) {
    const uint64_t frameBytes = 2u * l.outChannels;
    // The largest data size a 32-bit RIFF size can carry, in whole frames.
    const uint64_t most = (UINT32_MAX - (WAV_HEADER_BYTES - 8)) / frameBytes * frameBytes;
    const uint64_t bytes = std::min(l.frames * frameBytes, most);
    return CanonicalWavHeader(l.outChannels, l.sampleRate, static_cast<uint32_t>(bytes));
}

WavParse ParseGrowingWav(std::FILE* f, WavLayout* layout, std::string* why) {
    RawHeader h;
    const WavParse p = ParseHeader(f, true, &h, why);
    if (p != WavParse::Ok) {
        return p;
    }
    return JudgeFormat(h, layout, why) ? WavParse::Ok : WavParse::Refused;
}

WavResolution ResolveWavFile(std::FILE* f, uint64_t fileSize, bool allowHeaderOnly) {
    WavResolution r;
    const uint32_t fileSize32 = static_cast<uint32_t>(fileSize);
    // The engine's original path first, by its own tests.
    uint8_t raw[WAV_HEADER_BYTES];
    if (fileSize32 > WAV_HEADER_BYTES && ReadFileAt(f, 0, raw, sizeof raw) == sizeof raw) {
        const WavHeader h = ParseWavHeader(std::span<const uint8_t, WAV_HEADER_BYTES>(raw));
        if (IsAcceptedWavHeader(h, fileSize32) && h.nChannels != 0 && h.wBitsPerSample == 16) {
            if (h.dataSize > fileSize - WAV_HEADER_BYTES) {
                r.why = Tr(MSG_SHORT_DATA);
                return r;
            }
            r.canonical16 = true;
            r.header = h;
            WavLayout& l = r.layout;
            l.container = WavContainer::Riff;
            l.formatTag = h.wFormatTag;
            l.channels = h.nChannels;
            l.sampleRate = h.nSamplesPerSec;
            l.bitsPerSample = 16;
            l.validBits = 16;
            l.containerBytes = 2;
            l.blockAlign = static_cast<uint16_t>(2 * h.nChannels);
            l.outChannels = h.nChannels;
            l.dataOffset = WAV_HEADER_BYTES;
            l.dataSize = h.dataSize;
            l.frames = h.dataSize / l.blockAlign;
            r.ok = true;
            return r;
        }
    }
    if (fileSize <= WAV_HEADER_BYTES && !allowHeaderOnly) {
        r.why = Tr(fileSize == 0 ? MSG_EMPTY : MSG_TOO_SHORT);
        return r;
    }
    RawHeader h;
    if (ParseHeader(f, false, &h, &r.why) != WavParse::Ok) {
        return r;
    }
    WavLayout l;
    if (!JudgeFormat(h, &l, &r.why)) {
        return r;
    }
    // The container's own size must be the file's: RIFF in 32 bits as the original path
    // compares it, RF64 and BW64 from ds64 where the field says so, Wave64 in 64 bits.
    const bool sizeMatches = h.container == WavContainer::Riff
                                 ? static_cast<uint32_t>(h.containerSize) == fileSize32
                                 : h.containerSize == fileSize;
    if (!sizeMatches) {
        r.why = h.container == WavContainer::Riff
                    ? Tr(MSG_RIFF_SIZE)
                    : DescribeWavLayout(l) + " — " +
                          Tr("размер в заголовке не совпадает с размером файла");
        return r;
    }
    if (h.dataOffset > fileSize || h.dataSize > fileSize - h.dataOffset) {
        r.why = Tr(MSG_SHORT_DATA);
        return r;
    }
    l.dataSize = h.dataSize;
    l.frames = h.dataSize / l.blockAlign;
    if (l.frames > UINT32_MAX) {
        r.why = DescribeWavLayout(l) + " — " + Tr("слишком длинный файл");
        return r;
    }
    r.layout = l;
    r.ok = true;
    return r;
}

// ---- the converter ----

WavSampleConverter::WavSampleConverter(const WavLayout& layout) : layout_(layout) {
    identity_ = !layout.isFloat && layout.containerBytes == 2 && layout.channels <= 2;
    if (layout.channels > 2) {
        coefficients_ = DownmixCoefficients(layout.speakers);
    }
}

void WavSampleConverter::ConvertSamples(const uint8_t* p, std::size_t n, int16_t* out) const {
    if (layout_.isFloat) {
        if (layout_.containerBytes == 4) {
            ConvertFloat32(p, n, out);
        } else {
            ConvertFloat64(p, n, out);
        }
        return;
    }
    switch (layout_.containerBytes) {
    case 1:
        ConvertUnsigned8(p, n, out);
        break;
    case 2:
        ConvertSigned16(p, n, out);
        break;
    case 3:
        ConvertSigned24(p, n, out);
        break;
    default:
        ConvertSigned32(p, n, out);
        break;
    }
}

void WavSampleConverter::Convert(const uint8_t* data, std::size_t frames, int16_t* out) const {
    const unsigned channels = layout_.channels;
    if (channels <= 2) {
        ConvertSamples(data, frames * channels, out);
        return;
    }
    // Each frame's channels by the rule first, then mixed in double in channel order.
    constexpr std::size_t BATCH = 256;
    int16_t s16[BATCH * 64];
    const std::size_t batch = std::max<std::size_t>(1, sizeof s16 / sizeof s16[0] / channels);
    const double* left = coefficients_.data();
    const double* right = left + channels;
    while (frames > 0) {
        const std::size_t n = std::min(frames, batch);
        ConvertSamples(data, n * channels, s16);
        for (std::size_t i = 0; i < n; ++i) {
            const int16_t* s = s16 + i * channels;
            double l = 0.0;
            double r = 0.0;
            for (unsigned c = 0; c < channels; ++c) {
                l += left[c] * s[c];
                r += right[c] * s[c];
            }
            l = std::clamp(RoundToEven(l), -32768.0, 32767.0);
            r = std::clamp(RoundToEven(r), -32768.0, 32767.0);
            out[2 * i] = static_cast<int16_t>(l);
            out[2 * i + 1] = static_cast<int16_t>(r);
        }
        data += n * layout_.blockAlign;
        out += 2 * n;
        frames -= n;
    }
}

// ---- the frame reader ----

WavFrameReader::WavFrameReader(std::FILE* f, const WavLayout& layout, std::size_t stepBytes)
    : f_(f), layout_(layout), converter_(layout) {
    stepFrames_ = std::max<std::size_t>(1, stepBytes / layout.blockAlign);
    raw_.resize(stepFrames_ * layout.blockAlign);
    out_.resize(stepFrames_ * layout.outChannels);
    framesLeft_ = layout.frames;
}

bool WavFrameReader::Next(const int16_t** samples, std::size_t* frames) {
    *frames = 0;
    if (framesLeft_ == 0) {
        return true;
    }
    if (!started_) {
        if (layout_.dataOffset > static_cast<uint64_t>(LONG_MAX) ||
            std::fseek(f_, static_cast<long>(layout_.dataOffset), SEEK_SET) != 0) {
            return false;
        }
        started_ = true;
    }
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(framesLeft_, stepFrames_));
    const std::size_t bytes = n * layout_.blockAlign;
    if (std::fread(raw_.data(), 1, bytes, f_) != bytes) {
        return false;
    }
    converter_.Convert(raw_.data(), n, out_.data());
    framesLeft_ -= n;
    *samples = out_.data();
    *frames = n;
    return true;
}

// ---- probe and copy ----

WavProbe ProbeWavFile(const std::string& path) {
    WavProbe probe;
    FilePtr f(std::fopen(path.c_str(), "rb"));
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(path, ec);
    if (!f || ec) {
        probe.description = Tr(MSG_CANNOT_OPEN);
        return probe;
    }
    const WavResolution r = ResolveWavFile(f.get(), size);
    if (!r.ok) {
        probe.description = r.why;
        return probe;
    }
    probe.ok = true;
    probe.layout = r.layout;
    probe.canonical16 = r.canonical16;
    probe.description = DescribeWavLayout(r.layout);
    return probe;
}

bool WriteCanonicalCopy(const std::string& src, const std::string& dst, std::string* why) {
    FilePtr in(std::fopen(src.c_str(), "rb"));
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(src, ec);
    if (!in || ec) {
        Say(why, Tr(MSG_CANNOT_OPEN));
        return false;
    }
    std::setvbuf(in.get(), nullptr, _IONBF, 0);
    const WavResolution r = ResolveWavFile(in.get(), size);
    if (!r.ok) {
        Say(why, r.why);
        return false;
    }
    const WavLayout& l = r.layout;
    const uint64_t dataBytes = l.frames * 2u * l.outChannels;
    if (dataBytes > UINT32_MAX - (WAV_HEADER_BYTES - 8) - 2) {
        Say(why, DescribeWavLayout(l) + " — " + Tr("слишком длинный для 16-битного WAV"));
        return false;
    }
    const bool empty = dataBytes == 0;
    WavHeader h = CanonicalWavHeader(l.outChannels, l.sampleRate, static_cast<uint32_t>(dataBytes));
    if (empty) {
        h.riffSize += 2; // the two spare bytes
    }
    if (std::filesystem::equivalent(src, dst, ec)) {
        Say(why, Tr("копия должна быть другим файлом"));
        return false;
    }
    std::FILE* out = std::fopen(dst.c_str(), "wb");
    if (out == nullptr) {
        Say(why, Fill(Tr("не удалось создать файл %1"), {dst}));
        return false;
    }
    std::string reason;
    const auto headerBytes = SerializeWavHeader(h);
    bool ok = std::fwrite(headerBytes.data(), 1, headerBytes.size(), out) == headerBytes.size();
    try {
        WavFrameReader reader(in.get(), l, std::size_t{1} << 20);
        std::vector<uint8_t> bytes;
        while (ok) {
            const int16_t* s = nullptr;
            std::size_t n = 0;
            if (!reader.Next(&s, &n)) {
                reason = Tr(MSG_CANNOT_READ);
                ok = false;
                break;
            }
            if (n == 0) {
                break;
            }
            const std::size_t count = n * l.outChannels;
            bytes.resize(2 * count);
            for (std::size_t k = 0; k < count; ++k) {
                bytes[2 * k] = static_cast<uint8_t>(s[k]);
                bytes[2 * k + 1] = static_cast<uint8_t>(static_cast<uint16_t>(s[k]) >> 8);
            }
            ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
        }
    } catch (const std::bad_alloc&) {
        reason = Tr("не хватило памяти");
        ok = false;
    }
    if (ok && empty) {
        const uint8_t spare[2] = {0, 0};
        ok = std::fwrite(spare, 1, 2, out) == 2;
    }
    if (std::fclose(out) != 0) {
        ok = false;
    }
    if (!ok) {
        std::remove(dst.c_str());
        Say(why, reason.empty() ? Fill(Tr("не удалось записать файл %1"), {dst}) : reason);
    }
    return ok;
}

} // namespace kestrun
