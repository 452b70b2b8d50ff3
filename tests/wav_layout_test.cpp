// WAV layouts: every layout the engine reads gives exactly the energies (and cues) of the
// same audio converted by WavFormat.h's rule to a canonical 16-bit WAV, the conversion
// made here independently of the engine; refusals say what the file is; the downmix agrees
// with ffmpeg's; a following load gives what a plain load of the finished file gives.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sndfile.h>

#include "TestWav.h"
#include "VadEngine.h"
#include "WavFormat.h"

using kestrun::CVadEngine;

namespace {

using Bytes = std::vector<uint8_t>;

// ---- writing WAV files of any layout ----

void Add16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void Add32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(uint8_t(v >> (8 * i)));
    }
}
void Add64(Bytes& b, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        b.push_back(uint8_t(v >> (8 * i)));
    }
}
void AddTag(Bytes& b, const char* tag) {
    b.insert(b.end(), tag, tag + 4);
}

enum class Box { Riff, Rf64, W64 };

struct Chunk {
    std::string id; // four characters
    Bytes body;
    bool beforeFmt = false;
};

struct Format {
    uint16_t tag = 1; // 1, 3, 0xFFFE, or another for a refusal
    uint16_t sub = 1; // the extensible's sub-format
    uint16_t channels = 2;
    uint32_t rate = 44100;
    uint16_t bits = 16;
    uint16_t validBits = 0; // extensible only
    uint32_t mask = 0;      // extensible only
    bool cbSize = false;    // an 18-byte fmt chunk (cbSize 0) instead of 16 bytes
    int blockAlign = -1;    // -1: channels x container bytes

    uint16_t Container() const { return uint16_t((bits + 7) / 8); }
    uint16_t Align() const {
        return blockAlign >= 0 ? uint16_t(blockAlign) : uint16_t(channels * Container());
    }
};

Bytes FmtBody(const Format& f) {
    Bytes b;
    Add16(b, f.tag);
    Add16(b, f.channels);
    Add32(b, f.rate);
    Add32(b, f.rate * f.Align());
    Add16(b, f.Align());
    Add16(b, f.bits);
    if (f.tag == 0xFFFE) {
        Add16(b, 22);
        Add16(b, f.validBits);
        Add32(b, f.mask);
        Add16(b, f.sub);
        const uint8_t tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                  0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        b.insert(b.end(), tail, tail + 14);
    } else if (f.cbSize) {
        Add16(b, 0);
    }
    return b;
}

const uint8_t W64_GUID_TAIL[12] = {0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1,
                                   0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};

// Wave64 chunk ids: the four characters in lower case and the common tail ("fmt ",
// "data", "junk", ...); the riff id has a tail of its own.
void AddW64Id(Bytes& b, const std::string& id) {
    for (char c : id) {
        b.push_back(uint8_t(std::tolower(static_cast<unsigned char>(c))));
    }
    b.insert(b.end(), W64_GUID_TAIL, W64_GUID_TAIL + 12);
}

struct Built {
    Bytes bytes;
    std::size_t riffSizeAt = 0; // where the container size sits (4 or 8 bytes)
    std::size_t dataSizeAt = 0; // where the data size sits
    std::size_t dataAt = 0;     // the first data byte
};

// A whole file: container header, the before-fmt chunks, fmt, the other chunks, data (with
// dataSize as written, -1 for data.size()), the after chunks. Sizes are the true ones.
Built BuildWav(Box box, const Format& f, const Bytes& data, const std::vector<Chunk>& before = {},
               const std::vector<Chunk>& after = {}, int64_t dataSize = -1) {
    Built out;
    Bytes& b = out.bytes;
    const uint64_t stated = dataSize < 0 ? data.size() : uint64_t(dataSize);
    auto chunk = [&](const std::string& id, const Bytes& body) {
        if (box == Box::W64) {
            AddW64Id(b, id);
            Add64(b, 24 + body.size());
            b.insert(b.end(), body.begin(), body.end());
            while (b.size() % 8 != 0) {
                b.push_back(0);
            }
        } else {
            AddTag(b, id.c_str());
            Add32(b, uint32_t(body.size()));
            b.insert(b.end(), body.begin(), body.end());
            if (body.size() % 2 != 0) {
                b.push_back(0);
            }
        }
    };
    if (box == Box::W64) {
        const uint8_t riff[16] = {'r',  'i',  'f',  'f',  0x2E, 0x91, 0xCF, 0x11,
                                  0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
        b.insert(b.end(), riff, riff + 16);
        out.riffSizeAt = b.size();
        Add64(b, 0);
        AddW64Id(b, "wave");
    } else {
        AddTag(b, box == Box::Riff ? "RIFF" : "RF64");
        out.riffSizeAt = 4;
        Add32(b, box == Box::Riff ? 0 : 0xFFFFFFFFu);
        AddTag(b, "WAVE");
        if (box == Box::Rf64) {
            AddTag(b, "ds64");
            Add32(b, 28);
            out.riffSizeAt = b.size();
            Add64(b, 0); // RIFF size, below
            Add64(b, stated);
            Add64(b, f.Align() ? data.size() / f.Align() : 0);
            Add32(b, 0);
        }
    }
    for (const Chunk& c : before) {
        if (c.beforeFmt) {
            chunk(c.id, c.body);
        }
    }
    chunk("fmt ", FmtBody(f));
    for (const Chunk& c : before) {
        if (!c.beforeFmt) {
            chunk(c.id, c.body);
        }
    }
    if (box == Box::W64) {
        AddW64Id(b, "data");
        out.dataSizeAt = b.size();
        Add64(b, 24 + stated);
    } else {
        AddTag(b, "data");
        out.dataSizeAt = b.size();
        Add32(b, box == Box::Rf64 ? 0xFFFFFFFFu : uint32_t(stated));
    }
    out.dataAt = b.size();
    b.insert(b.end(), data.begin(), data.end());
    if (box == Box::W64) {
        while (b.size() % 8 != 0) {
            b.push_back(0);
        }
    } else if (data.size() % 2 != 0) {
        b.push_back(0);
    }
    for (const Chunk& c : after) {
        chunk(c.id, c.body);
    }
    switch (box) {
    case Box::Riff:
        testwav::Put32(b, 4, uint32_t(b.size() - 8));
        break;
    case Box::Rf64:
        for (int i = 0; i < 8; ++i) {
            b[out.riffSizeAt + i] = uint8_t(uint64_t(b.size() - 8) >> (8 * i));
        }
        break;
    case Box::W64:
        for (int i = 0; i < 8; ++i) {
            b[out.riffSizeAt + i] = uint8_t(uint64_t(b.size()) >> (8 * i));
        }
        break;
    }
    return out;
}

// ---- audio, and the rule, written here on their own ----

// Speech-like audio in full-scale units: syllables of noise under rising and falling
// envelopes, phrases and pauses, each channel with loudness of its own. Deterministic.
std::vector<double> Speechy(std::size_t frames, unsigned channels, uint32_t rate, uint32_t seed,
                            double peak = 0.9) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<double> x(frames * channels, 0.0);
    std::vector<double> gain(channels);
    for (double& g : gain) {
        g = 0.3 + 0.7 * std::uniform_real_distribution<double>(0, 1)(rng);
    }
    std::size_t at = rate / 10;
    while (at < frames) {
        const std::size_t syllable = rate / 20 + rng() % (rate / 8);
        const double loud = peak * (0.2 + 0.8 * std::uniform_real_distribution<double>(0, 1)(rng));
        for (std::size_t k = 0; k < syllable && at + k < frames; ++k) {
            const double pos = double(k) / double(syllable);
            const double env = loud * (pos < 0.5 ? 2 * pos : 2 * (1 - pos));
            for (unsigned c = 0; c < channels; ++c) {
                x[(at + k) * channels + c] = env * gain[c] * noise(rng);
            }
        }
        at += syllable + (rng() % 3 == 0 ? rate / 3 + rng() % rate : rng() % (rate / 15));
    }
    // A quiet floor everywhere, so no frame is exactly silent.
    for (double& v : x) {
        v += 0.0005 * noise(rng);
    }
    return x;
}

int16_t RuleFloat(double x) {
    if (std::isnan(x)) {
        return 0;
    }
    double r = std::nearbyint(x * 32768.0); // the default rounding: to nearest, ties to even
    r = std::min(32767.0, std::max(-32768.0, r));
    return int16_t(r);
}

// Encodes full-scale audio in a format; *s16 gets every sample converted by the rule from
// the stored value itself.
Bytes Encode(const Format& f, const std::vector<double>& x, std::vector<int16_t>* s16,
             uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out;
    s16->clear();
    const bool isFloat = f.tag == 3 || (f.tag == 0xFFFE && f.sub == 3);
    const int container = f.Container();
    for (double v : x) {
        if (isFloat) {
            if (container == 4) {
                const float g = float(v);
                uint32_t u;
                std::memcpy(&u, &g, 4);
                Add32(out, u);
                s16->push_back(RuleFloat(double(g)));
            } else {
                uint64_t u;
                std::memcpy(&u, &v, 8);
                Add64(out, u);
                s16->push_back(RuleFloat(v));
            }
            continue;
        }
        const double c = std::min(1.0, std::max(-1.0, v));
        switch (container) {
        case 1: {
            const int u = std::min(255, int(std::lround(c * 127.0)) + 128);
            out.push_back(uint8_t(u));
            s16->push_back(int16_t((u - 128) * 256));
            break;
        }
        case 2: {
            int32_t s = std::min(32767, int32_t(std::lround(c * 32767.0)));
            s ^= int32_t(rng() &
                         ((1u << (16 - std::min<int>(f.bits, 16))) - 1)); // below the valid bits
            Add16(out, uint16_t(s));
            s16->push_back(int16_t(s));
            break;
        }
        case 3: {
            // Random low bits: only the top 16 count.
            const int32_t s = int32_t(std::lround(c * 8388607.0)) ^ int32_t(rng() & 0xFF);
            out.push_back(uint8_t(s));
            out.push_back(uint8_t(s >> 8));
            out.push_back(uint8_t(s >> 16));
            s16->push_back(int16_t(s >> 8));
            break;
        }
        default: {
            const int32_t s = int32_t(std::llround(c * 2147483647.0)) ^ int32_t(rng() & 0xFFFF);
            Add32(out, uint32_t(s));
            s16->push_back(int16_t(s >> 16));
            break;
        }
        }
    }
    return out;
}

// Values that test the float rule's edges, put into loud stretches of a float signal:
// beyond full scale both ways, exact ties (k + 0.5) / 32768, infinities and NaN.
void AddFloatEdges(std::vector<double>& x, unsigned channels) {
    const double edges[] = {1.0,
                            -1.0,
                            1.7,
                            -2.5,
                            1e30,
                            -1e30,
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN(),
                            0.5 / 32768,
                            1.5 / 32768,
                            2.5 / 32768,
                            -0.5 / 32768,
                            -1.5 / 32768,
                            -2.5 / 32768,
                            32766.5 / 32768,
                            32767.5 / 32768,
                            -32767.5 / 32768,
                            -32768.5 / 32768,
                            12345.5 / 32768,
                            -12344.5 / 32768,
                            1e-40};
    std::size_t at = x.size() / 3;
    for (int round = 0; round < 40; ++round) {
        for (double e : edges) {
            if (at < x.size()) {
                x[at] = e;
            }
            at += 7 * channels + 1;
        }
    }
}

// The downmix, from the rule's own words: per speaker its left and right levels.
enum Sp { FL, FR, FC, LFE, BL, BR, FLC, FRC, BC, SL, SR, TC, TFL, TFC, TFR, TBL, TBC, TBR };

std::vector<int16_t> Downmix(const std::vector<int16_t>& in, const std::vector<Sp>& speakers) {
    const double s = M_SQRT1_2;
    std::vector<double> l;
    std::vector<double> r;
    for (Sp sp : speakers) {
        double a = 0;
        double b = 0;
        switch (sp) {
        case FL:
            a = 1;
            break;
        case FR:
            b = 1;
            break;
        case FC:
            a = b = s;
            break;
        case BL:
        case SL:
            a = s;
            break;
        case BR:
        case SR:
            b = s;
            break;
        case BC:
            a = b = s * s;
            break;
        case FLC:
            a = 1;
            break;
        case FRC:
            b = 1;
            break;
        default:
            break; // LFE and the top speakers are dropped
        }
        l.push_back(a);
        r.push_back(b);
    }
    double sl = 0;
    double sr = 0;
    for (std::size_t c = 0; c < l.size(); ++c) {
        sl += std::fabs(l[c]);
        sr += std::fabs(r[c]);
    }
    const double norm = std::max(sl, sr);
    if (norm > 1) {
        for (std::size_t c = 0; c < l.size(); ++c) {
            l[c] /= norm;
            r[c] /= norm;
        }
    }
    const std::size_t n = speakers.size();
    std::vector<int16_t> out;
    for (std::size_t i = 0; i + n <= in.size(); i += n) {
        double a = 0;
        double b = 0;
        for (std::size_t c = 0; c < n; ++c) {
            a += l[c] * in[i + c];
            b += r[c] * in[i + c];
        }
        out.push_back(int16_t(std::min(32767.0, std::max(-32768.0, std::nearbyint(a)))));
        out.push_back(int16_t(std::min(32767.0, std::max(-32768.0, std::nearbyint(b)))));
    }
    return out;
}

// ---- comparing loads ----

std::vector<double> Energies(const CVadEngine& e, int ch) {
    const kestrun::FrameArray* a = e.energy(ch);
    return a == nullptr ? std::vector<double>{} : std::vector<double>(a->begin(), a->end());
}

// Everything a load leaves that later steps use, and the SRT of two detection runs.
void ExpectSameLoad(CVadEngine& a, CVadEngine& b, const testwav::TempDir& dir) {
    EXPECT_EQ(a.sampleCount(), b.sampleCount());
    EXPECT_EQ(a.frameCount(), b.frameCount());
    EXPECT_EQ(a.frameLength(), b.frameLength());
    EXPECT_EQ(a.maxEnergy(), b.maxEnergy());
    EXPECT_EQ(a.DurationMs(), b.DurationMs());
    EXPECT_EQ(kestrun::SerializeWavHeader(a.header()), kestrun::SerializeWavHeader(b.header()));
    for (int ch = 0; ch < 2; ++ch) {
        EXPECT_EQ(a.energy(ch) == nullptr, b.energy(ch) == nullptr);
        EXPECT_TRUE(Energies(a, ch) == Energies(b, ch)) << "channel " << ch;
        if (a.workBuf(ch) != nullptr && b.workBuf(ch) != nullptr) {
            EXPECT_EQ(a.workBuf(ch)->size(), b.workBuf(ch)->size());
        }
    }
    for (int run = 0; run < 2; ++run) {
        const auto ra = run == 0 ? a.RunEnergyBased(0.045, dir / "a.srt")
                                 : a.RunEnergyGlitch(0.0015, 0.005, dir / "a.srt");
        const auto rb = run == 0 ? b.RunEnergyBased(0.045, dir / "b.srt")
                                 : b.RunEnergyGlitch(0.0015, 0.005, dir / "b.srt");
        EXPECT_TRUE(ra.written && rb.written);
        EXPECT_EQ(ra.cues, rb.cues);
        EXPECT_EQ(testwav::ReadFile(dir / "a.srt"), testwav::ReadFile(dir / "b.srt"));
    }
}

struct Case {
    std::string name;
    Box box = Box::Riff;
    Format fmt;
    std::vector<Sp> speakers; // more than two channels: the speakers the rule mixes
    std::vector<Chunk> before;
    std::vector<Chunk> after;
    double seconds = 2.5;
    bool floatEdges = false;
    int extraDataBytes = 0; // a partial frame at the end of the data
};

Case C(std::string name, Box box, Format fmt, std::vector<Sp> speakers = {}) {
    Case c;
    c.name = std::move(name);
    c.box = box;
    c.fmt = fmt;
    c.speakers = std::move(speakers);
    return c;
}

Chunk Make(const std::string& id, std::size_t size, bool beforeFmt = false, uint8_t fill = 'x') {
    return {id, Bytes(size, fill), beforeFmt};
}

Format Fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, uint16_t sub = 1,
           uint16_t valid = 0, uint32_t mask = 0) {
    Format f;
    f.tag = tag;
    f.channels = channels;
    f.rate = rate;
    f.bits = bits;
    f.sub = sub;
    f.validBits = valid;
    f.mask = mask;
    return f;
}

std::vector<Case> Table() {
    const std::vector<Sp> two1 = {FL, FR, LFE};
    const std::vector<Sp> four0 = {FL, FR, FC, BC};
    const std::vector<Sp> five0 = {FL, FR, FC, BL, BR};
    const std::vector<Sp> five1 = {FL, FR, FC, LFE, BL, BR};
    const std::vector<Sp> five1side = {FL, FR, FC, LFE, SL, SR};
    const std::vector<Sp> seven1 = {FL, FR, FC, LFE, BL, BR, SL, SR};
    const std::vector<Chunk> lots = {Make("JUNK", 28, true, 0), Make("bext", 602, true),
                                     Make("LIST", 5),           Make("fact", 4),
                                     Make("iXML", 33),          Make("PAD ", 1, false, 0)};
    std::vector<Case> t;
    auto add = [&](Case c) { t.push_back(std::move(c)); };
    add(C("8-bit mono", Box::Riff, Fmt(1, 1, 8000, 8)));
    add(C("8-bit stereo", Box::Riff, Fmt(1, 2, 22050, 8)));
    {
        Case c = C("16-bit stereo, 18-byte fmt", Box::Riff, Fmt(1, 2, 44100, 16));
        c.fmt.cbSize = true;
        add(c);
    }
    add(C("12-bit in 16-bit containers", Box::Riff, Fmt(1, 2, 32000, 12)));
    add(C("24-bit stereo", Box::Riff, Fmt(1, 2, 48000, 24)));
    add(C("24-bit mono", Box::Riff, Fmt(1, 1, 96000, 24)));
    add(C("20-bit in 24-bit containers", Box::Riff, Fmt(1, 2, 44100, 20)));
    add(C("32-bit stereo", Box::Riff, Fmt(1, 2, 44100, 32)));
    {
        Case c = C("32-bit float stereo, edges", Box::Riff, Fmt(3, 2, 44100, 32));
        c.floatEdges = true;
        add(c);
    }
    {
        Case c = C("64-bit float mono, edges", Box::Riff, Fmt(3, 1, 16000, 64));
        c.floatEdges = true;
        add(c);
    }
    add(C("extensible 16-bit stereo", Box::Riff, Fmt(0xFFFE, 2, 44100, 16, 1, 16, 3)));
    add(C("extensible 24-bit, 20 valid", Box::Riff, Fmt(0xFFFE, 2, 48000, 24, 1, 20, 3)));
    add(C("extensible 32-bit, 24 valid", Box::Riff, Fmt(0xFFFE, 1, 48000, 32, 1, 24, 4)));
    {
        Case c = C("extensible float 32", Box::Riff, Fmt(0xFFFE, 2, 44100, 32, 3, 32, 3));
        c.floatEdges = true;
        add(c);
    }
    add(C("extensible float 64, no mask", Box::Riff, Fmt(0xFFFE, 2, 22050, 64, 3, 0, 0)));
    {
        Case c = C("chunks before and after, odd sizes", Box::Riff, Fmt(1, 2, 44100, 24));
        c.before = lots;
        c.after = {Make("LIST", 77), Make("id3 ", 1001), Make("cue ", 3)};
        add(c);
    }
    {
        Case c = C("16-bit with LIST before data", Box::Riff, Fmt(1, 2, 44100, 16));
        c.before = {Make("LIST", 26)};
        c.extraDataBytes = 3;
        add(c);
    }
    {
        Case c = C("partial frame at the end", Box::Riff, Fmt(1, 2, 44100, 24));
        c.extraDataBytes = 5;
        add(c);
    }
    add(C("RF64 24-bit stereo", Box::Rf64, Fmt(1, 2, 48000, 24)));
    {
        Case c = C("RF64 float with chunks", Box::Rf64, Fmt(3, 2, 44100, 32));
        c.before = {Make("LIST", 41)};
        c.after = {Make("LIST", 9)};
        add(c);
    }
    add(C("Wave64 16-bit stereo", Box::W64, Fmt(1, 2, 44100, 16)));
    {
        Case c =
            C("Wave64 extensible 24-bit 5.1", Box::W64, Fmt(0xFFFE, 6, 48000, 24, 1, 24, 0x3F));
        c.speakers = five1;
        c.before = {Make("LIST", 13)};
        add(c);
    }
    add(C("3 channels (2.1)", Box::Riff, Fmt(1, 3, 44100, 16), two1));
    add(C("4 channels (4.0)", Box::Riff, Fmt(1, 4, 44100, 16), four0));
    add(C("5 channels (5.0)", Box::Riff, Fmt(1, 5, 44100, 16), five0));
    add(C("6 channels (5.1)", Box::Riff, Fmt(1, 6, 48000, 16), five1));
    add(C("8 channels (7.1), 24-bit", Box::Riff, Fmt(1, 8, 48000, 24), seven1));
    add(C("extensible 5.1(side) mask", Box::Riff, Fmt(0xFFFE, 6, 48000, 16, 1, 16, 0x60F),
          five1side));
    add(C("extensible mask of another count: default 4.0", Box::Riff,
          Fmt(0xFFFE, 4, 44100, 16, 1, 16, 0x3F), four0));
    add(C("extensible FL FR FLC FRC", Box::Riff, Fmt(0xFFFE, 4, 44100, 16, 1, 16, 0xC3),
          {FL, FR, FLC, FRC}));
    add(C("extensible with top speakers", Box::Riff,
          Fmt(0xFFFE, 8, 48000, 16, 1, 16, 0x3F | 0x1000 | 0x4000),
          {FL, FR, FC, LFE, BL, BR, TFL, TFR}));
    {
        Case c = C("extensible float 6 channels", Box::Riff, Fmt(0xFFFE, 6, 48000, 32, 3, 32, 0x3F),
                   five1);
        c.floatEdges = true;
        add(c);
    }
    return t;
}

// Writes a case's file and its canonical equivalent; returns their paths.
std::pair<std::string, std::string> WriteCase(const Case& c, const testwav::TempDir& dir,
                                              uint32_t seed) {
    const Format& f = c.fmt;
    const std::size_t frames = std::size_t(c.seconds * f.rate);
    std::vector<double> x = Speechy(frames, f.channels, f.rate, seed);
    if (c.floatEdges) {
        AddFloatEdges(x, f.channels);
    }
    std::vector<int16_t> s16;
    Bytes data = Encode(f, x, &s16, seed + 1);
    std::vector<int16_t> canonical = c.speakers.empty() ? s16 : Downmix(s16, c.speakers);
    for (int i = 0; i < c.extraDataBytes; ++i) {
        data.push_back(uint8_t(0x55 + i));
    }
    const std::string src = dir / "src.wav";
    const std::string ref = dir / "ref.wav";
    testwav::WriteFile(src, BuildWav(c.box, f, data, c.before, c.after).bytes);
    testwav::WriteFile(ref,
                       testwav::MakeWav(uint16_t(std::min<int>(f.channels, 2)), f.rate, canonical));
    return {src, ref};
}

std::vector<int16_t> DataSamples(const std::string& path) {
    const std::string b = testwav::ReadFile(path);
    // Walks the RIFF chunks to "data".
    std::size_t at = 12;
    while (at + 8 <= b.size()) {
        const uint32_t size = uint8_t(b[at + 4]) | uint8_t(b[at + 5]) << 8 |
                              uint8_t(b[at + 6]) << 16 | uint32_t(uint8_t(b[at + 7])) << 24;
        if (b.compare(at, 4, "data") == 0) {
            std::vector<int16_t> s;
            for (std::size_t k = at + 8; k + 1 < at + 8 + size && k + 1 < b.size(); k += 2) {
                s.push_back(int16_t(uint8_t(b[k]) | uint8_t(b[k + 1]) << 8));
            }
            return s;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

// ---- libsndfile as a reference reader ----

// The speakers the rule mixes for a channel count with no usable mask.
std::vector<Sp> DefaultSpeakers(int channels) {
    switch (channels) {
    case 3:
        return {FL, FR, LFE};
    case 4:
        return {FL, FR, FC, BC};
    case 5:
        return {FL, FR, FC, BL, BR};
    case 6:
        return {FL, FR, FC, LFE, BL, BR};
    case 7:
        return {FL, FR, FC, LFE, BC, SL, SR};
    default:
        return {FL, FR, FC, LFE, BL, BR, SL, SR};
    }
}

std::vector<Sp> MaskSpeakers(uint32_t mask) {
    std::vector<Sp> speakers;
    for (int bit = 0; bit < 18; ++bit) {
        if (mask & (1u << bit)) {
            speakers.push_back(Sp(bit));
        }
    }
    return speakers;
}

// A layout drawn at random from everything the loader reads: container, sample format
// (plain, float, extensible with fewer valid bits), 1 to 8 channels with a mask or without,
// rate, length, chunks before and after the data, a partial frame at its end.
struct RandomLayout {
    std::string name;
    Case c;
};

RandomLayout DrawLayout(std::mt19937& rng) {
    auto pick = [&](auto... values) {
        const std::vector<std::common_type_t<decltype(values)...>> v{values...};
        return v[rng() % v.size()];
    };
    RandomLayout out;
    Case& c = out.c;
    c.box = pick(Box::Riff, Box::Rf64, Box::W64);
    const int channels = int(pick(1, 1, 2, 2, 2, 3, 4, 5, 6, 7, 8));
    const uint32_t rate = pick(8000u, 11025u, 16000u, 22050u, 32000u, 44100u, 48000u, 96000u);
    switch (rng() % 3) {
    case 0: // plain PCM of any width
        c.fmt = Fmt(1, uint16_t(channels), rate, uint16_t(pick(8, 12, 16, 16, 20, 24, 24, 32)));
        break;
    case 1: // float
        c.fmt = Fmt(3, uint16_t(channels), rate, uint16_t(pick(32, 32, 64)));
        c.floatEdges = rng() % 2 == 0;
        break;
    default: { // extensible: integer with all or fewer valid bits, or float
        if (rng() % 3 == 0) {
            const uint16_t bits = uint16_t(pick(32, 64));
            c.fmt = Fmt(0xFFFE, uint16_t(channels), rate, bits, 3, bits);
            c.floatEdges = rng() % 2 == 0;
        } else {
            const uint16_t bits = uint16_t(pick(16, 24, 32));
            const uint16_t valid = uint16_t(bits - pick(0, 0, 4, 8));
            c.fmt = Fmt(0xFFFE, uint16_t(channels), rate, bits, 1, valid);
        }
        // A mask naming as many speakers as there are channels, or one the rule ignores.
        const std::vector<std::vector<uint32_t>> masks = {{},
                                                          {0x4, 0x1},
                                                          {0x3, 0x3},
                                                          {0x7, 0xB, 0x103},
                                                          {0x33, 0x107, 0xC3, 0x603},
                                                          {0x37, 0x607},
                                                          {0x3F, 0x60F},
                                                          {0x70F},
                                                          {0x63F}};
        const std::vector<uint32_t>& fit = masks[std::size_t(channels)];
        c.fmt.mask = rng() % 4 == 0 ? 0 : fit[rng() % fit.size()];
        break;
    }
    }
    // libsndfile reads no extensible format in Wave64 (the loader does).
    if (c.box == Box::W64 && c.fmt.tag == 0xFFFE) {
        c.box = pick(Box::Riff, Box::Rf64);
    }
    if (channels > 2) {
        c.speakers = __builtin_popcount(c.fmt.mask) == channels ? MaskSpeakers(c.fmt.mask)
                                                                : DefaultSpeakers(channels);
    }
    c.seconds = double(1 + rng() % 6) / 20.0; // 50 to 300 ms
    // Not in Wave64: libsndfile reads the pad that follows the data chunk there as more
    // data, where the loader stops at the chunk's size (see the length in the test, too).
    const int align = c.fmt.Align();
    c.extraDataBytes =
        align > 1 && c.box != Box::W64 && rng() % 4 == 0 ? int(1 + rng() % unsigned(align - 1)) : 0;
    // Chunks libsndfile and the loader both know to skip; Wave64 files keep to their own.
    if (c.box != Box::W64) {
        for (std::size_t n = rng() % 3; n > 0; --n) {
            c.before.push_back(pick(Make("JUNK", rng() % 40, true, 0), Make("LIST", 4 + rng() % 60),
                                    Make("bext", 602, true), Make("iXML", 1 + rng() % 50),
                                    Make("PAD ", rng() % 9, false, 0)));
        }
        for (std::size_t n = rng() % 3; n > 0; --n) {
            c.after.push_back(pick(Make("LIST", 4 + rng() % 60), Make("id3 ", 1 + rng() % 99)));
        }
    }
    // libsndfile's RF64 reader does not skip the pad byte after a chunk of odd size and
    // then misses the data chunk; the loader skips it, as RIFF has it.
    if (c.box == Box::Rf64) {
        for (auto* chunks : {&c.before, &c.after}) {
            for (Chunk& chunk : *chunks) {
                if (chunk.body.size() % 2 != 0) {
                    chunk.body.push_back(0);
                }
            }
        }
    }
    const char* boxName = c.box == Box::Riff ? "RIFF" : c.box == Box::Rf64 ? "RF64" : "Wave64";
    out.name = std::string(boxName) + ", tag " + std::to_string(c.fmt.tag) + ", " +
               std::to_string(c.fmt.bits) + " bits (" + std::to_string(c.fmt.validBits) +
               " valid), " + std::to_string(channels) + " channels, mask " +
               std::to_string(c.fmt.mask) + ", " + std::to_string(rate) + " Hz, " +
               std::to_string(c.extraDataBytes) + " stray bytes, chunks";
    for (const auto* chunks : {&c.before, &c.after}) {
        for (const Chunk& chunk : *chunks) {
            out.name += " " + chunk.id + "(" + std::to_string(chunk.body.size()) + ")";
        }
        out.name += chunks == &c.before ? " | data |" : "";
    }
    c.name = out.name;
    return out;
}

// What libsndfile reads from a file, taken to 16 bits by the conversion rule from its own
// values (integers it scales by 1 / 2^(width - 1), floats as stored) and mixed down as the
// rule mixes; empty when libsndfile cannot read the file.
std::vector<int16_t> ReadWithSndfile(const std::string& path, bool isFloat,
                                     const std::vector<Sp>& speakers, SF_INFO* info) {
    *info = SF_INFO{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, info);
    if (file == nullptr) {
        return {};
    }
    sf_command(file, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
    std::vector<double> x(std::size_t(info->frames) * std::size_t(info->channels));
    const sf_count_t got = sf_readf_double(file, x.data(), info->frames);
    sf_close(file);
    x.resize(std::size_t(got) * std::size_t(info->channels));
    std::vector<int16_t> s16;
    for (double v : x) {
        // An integer sample scaled down by a power of two: the floor of v x 32768 is the
        // arithmetic shift the rule takes. A float: rounded, clamped, NaN as 0.
        s16.push_back(isFloat
                          ? RuleFloat(v)
                          : int16_t(std::max(-32768.0, std::min(32767.0, std::floor(v * 32768)))));
    }
    return speakers.empty() ? s16 : Downmix(s16, speakers);
}

// ---- layouts ----

} // namespace

TEST(WavLayout, EveryLayoutLoadsAsItsCanonicalEquivalent) {
    uint32_t seed = 100;
    for (const Case& c : Table()) {
        SCOPED_TRACE(c.name);
        testwav::TempDir dir;
        const auto [src, ref] = WriteCase(c, dir, seed++);
        CVadEngine a;
        CVadEngine b;
        std::string why;
        ASSERT_TRUE(a.LoadWav(src, &why)) << why;
        ASSERT_TRUE(b.LoadWav(ref));
        EXPECT_GT(a.frameCount(), 100u);
        EXPECT_EQ(a.header().nChannels, std::min<int>(c.fmt.channels, 2));
        EXPECT_EQ(a.header().wBitsPerSample, 16);
        ExpectSameLoad(a, b, dir);

        const kestrun::WavProbe probe = kestrun::ProbeWavFile(src);
        EXPECT_TRUE(probe.ok) << probe.description;
        EXPECT_FALSE(probe.canonical16);
        EXPECT_EQ(probe.layout.channels, c.fmt.channels);
        EXPECT_EQ(probe.layout.bitsPerSample, c.fmt.bits);

        // The canonical copy is the canonical equivalent, byte for byte.
        ASSERT_TRUE(kestrun::WriteCanonicalCopy(src, dir / "copy.wav", &why)) << why;
        const std::string refBytes = testwav::ReadFile(ref);
        EXPECT_TRUE(testwav::ReadFile(dir / "copy.wav") == refBytes);
        const kestrun::WavProbe copyProbe = kestrun::ProbeWavFile(dir / "copy.wav");
        EXPECT_TRUE(copyProbe.ok && copyProbe.canonical16);
    }
}

TEST(WavLayout, LibsndfileReadsTheSameSamplesFromEveryLayout) {
    // Some hundreds of files of random layouts: the samples the loader takes from each, as
    // its canonical copy holds them and as their energies show, are those libsndfile reads.
    constexpr int FILES = 300;
    std::mt19937 rng(20261207);
    testwav::TempDir dir;
    int compared = 0;
    for (int n = 0; n < FILES; ++n) {
        const RandomLayout layout = DrawLayout(rng);
        SCOPED_TRACE(layout.name);
        const Case& c = layout.c;
        std::size_t frames = std::size_t(c.seconds * c.fmt.rate);
        if (c.box == Box::W64) {
            frames -= frames % 8; // data that need no pad: libsndfile would read it as samples
        }
        std::vector<double> x = Speechy(frames, c.fmt.channels, c.fmt.rate, rng());
        if (c.floatEdges) {
            AddFloatEdges(x, c.fmt.channels);
        }
        std::vector<int16_t> unused;
        Bytes data = Encode(c.fmt, x, &unused, rng());
        for (int i = 0; i < c.extraDataBytes; ++i) {
            data.push_back(uint8_t(0x55 + i));
        }
        const std::string src = dir / "src.wav";
        testwav::WriteFile(src, BuildWav(c.box, c.fmt, data, c.before, c.after).bytes);

        SF_INFO info;
        const bool isFloat = c.fmt.tag == 3 || (c.fmt.tag == 0xFFFE && c.fmt.sub == 3);
        const std::vector<int16_t> reference = ReadWithSndfile(src, isFloat, c.speakers, &info);
        ASSERT_EQ(info.channels, c.fmt.channels) << "libsndfile: " << sf_strerror(nullptr);
        ASSERT_EQ(info.samplerate, int(c.fmt.rate));
        const int outChannels = std::min<int>(c.fmt.channels, 2);
        ASSERT_EQ(reference.size(), std::size_t(info.frames) * std::size_t(outChannels));

        CVadEngine loaded;
        std::string why;
        ASSERT_TRUE(loaded.LoadWav(src, &why)) << why;
        ASSERT_TRUE(kestrun::WriteCanonicalCopy(src, dir / "copy.wav", &why)) << why;
        const std::vector<int16_t> copied = DataSamples(dir / "copy.wav");
        ASSERT_EQ(copied.size(), reference.size());
        const auto diff = std::mismatch(copied.begin(), copied.end(), reference.begin());
        ASSERT_TRUE(diff.first == copied.end())
            << "sample " << (diff.first - copied.begin()) << ": " << *diff.first << " here, "
            << *diff.second << " by libsndfile";

        testwav::WriteFile(dir / "ref.wav",
                           testwav::MakeWav(uint16_t(outChannels), c.fmt.rate, reference));
        CVadEngine fromReference;
        ASSERT_TRUE(fromReference.LoadWav(dir / "ref.wav"));
        EXPECT_EQ(loaded.sampleCount(), fromReference.sampleCount());
        EXPECT_EQ(loaded.maxEnergy(), fromReference.maxEnergy());
        for (int ch = 0; ch < 2; ++ch) {
            EXPECT_TRUE(Energies(loaded, ch) == Energies(fromReference, ch)) << "channel " << ch;
        }
        ++compared;
    }
    EXPECT_EQ(compared, FILES);
}

TEST(WavLayout, CanonicalFilesStillTakeTheOriginalPath) {
    testwav::TempDir dir;
    std::vector<int16_t> s(20000);
    for (std::size_t i = 0; i < s.size(); ++i) {
        s[i] = int16_t((i * 7919) % 65536 - 32768);
    }
    std::vector<uint8_t> b = testwav::MakeWav(2, 8000, s);
    b[15] = 'X'; // a quirk of the original path: only "WAVEfmt" is compared
    testwav::Put32(b, 40, uint32_t(b.size() - 44 - 4002)); // and it reads only dataSize bytes
    testwav::WriteFile(dir / "a.wav", b);
    const kestrun::WavProbe probe = kestrun::ProbeWavFile(dir / "a.wav");
    EXPECT_TRUE(probe.ok && probe.canonical16) << probe.description;
    CVadEngine e;
    ASSERT_TRUE(e.LoadWav(dir / "a.wav"));
    EXPECT_EQ(e.sampleCount(), (s.size() * 2 - 4002) / 4);
    EXPECT_EQ(e.header().fmtTag[3], 'X') << "the header as read";
    ASSERT_TRUE(kestrun::WriteCanonicalCopy(dir / "a.wav", dir / "c.wav"));
    CVadEngine c;
    ASSERT_TRUE(c.LoadWav(dir / "c.wav"));
    EXPECT_TRUE(Energies(e, 0) == Energies(c, 0) && Energies(e, 1) == Energies(c, 1));

    // An empty file of another layout loads with no frames, and so does its copy.
    testwav::WriteFile(dir / "e.wav",
                       BuildWav(Box::Riff, Fmt(0xFFFE, 2, 44100, 24, 1, 24, 3), {}).bytes);
    ASSERT_TRUE(e.LoadWav(dir / "e.wav"));
    EXPECT_EQ(e.frameCount(), 0u);
    ASSERT_TRUE(kestrun::WriteCanonicalCopy(dir / "e.wav", dir / "ec.wav"));
    ASSERT_TRUE(c.LoadWav(dir / "ec.wav"));
    EXPECT_EQ(c.frameCount(), 0u);
    EXPECT_EQ(c.header().nChannels, 2);
}

TEST(WavLayout, RefusalsSayWhatTheFileIs) {
    testwav::TempDir dir;
    const std::vector<double> x = Speechy(20000, 2, 44100, 5);
    std::vector<int16_t> s16;
    const Bytes pcm24 = Encode(Fmt(1, 2, 44100, 24), x, &s16, 6);

    struct Refusal {
        const char* what;
        Bytes bytes;
        std::string message; // the whole line, or a part of it after a '~'
    };
    std::vector<Refusal> cases;
    {
        Format f = Fmt(3, 6, 48000, 24);
        cases.push_back({"24-bit float", BuildWav(Box::Riff, f, Bytes(6 * 3 * 100, 0)).bytes,
                         "WAV: 24 бит, плавающая точка, 6 каналов, 48000 Гц — плавающая точка "
                         "бывает только 32- и 64-битной"});
    }
    {
        Format f = Fmt(6, 1, 8000, 8);
        cases.push_back({"A-law", BuildWav(Box::Riff, f, Bytes(1000, 0xD5)).bytes,
                         "WAV в формате A-law (код 6)"});
    }
    {
        Format f = Fmt(0xFFFE, 2, 8000, 8, 7, 8, 3);
        cases.push_back({"extensible mu-law", BuildWav(Box::Riff, f, Bytes(1000, 0x7F)).bytes,
                         "WAV в формате mu-law (код 7)"});
    }
    {
        Built w = BuildWav(Box::Riff, Fmt(1, 2, 44100, 24), pcm24);
        w.bytes.resize(w.bytes.size() - 600);
        testwav::FixRiffSize(w.bytes);
        cases.push_back({"truncated data", w.bytes, "данных меньше, чем обещает заголовок"});
    }
    {
        Built w = BuildWav(Box::Riff, Fmt(1, 2, 44100, 24), pcm24);
        testwav::Put32(w.bytes, 4, uint32_t(w.bytes.size() - 7));
        cases.push_back({"RIFF size one too large", w.bytes,
                         "размер в заголовке RIFF не совпадает с размером файла"});
        testwav::Put32(w.bytes, 4, uint32_t(w.bytes.size() - 9));
        cases.push_back({"RIFF size one too small", w.bytes,
                         "размер в заголовке RIFF не совпадает с размером файла"});
    }
    {
        Built w = BuildWav(Box::Rf64, Fmt(1, 2, 44100, 24), pcm24);
        w.bytes.push_back(0);
        cases.push_back({"RF64 size off by one", w.bytes,
                         "RF64: 24 бит, 2 канала, 44100 Гц — размер в заголовке не совпадает с "
                         "размером файла"});
    }
    {
        Format f = Fmt(1, 2, 44100, 24);
        f.blockAlign = 4;
        cases.push_back({"block align of 16 bits", BuildWav(Box::Riff, f, pcm24).bytes,
                         "WAV: 24 бит, 2 канала, 44100 Гц — размер кадра не сходится с "
                         "разрядностью и числом каналов"});
    }
    cases.push_back({"10 channels",
                     BuildWav(Box::Riff, Fmt(1, 10, 44100, 16), Bytes(2000, 0)).bytes,
                     "WAV: 16 бит, 10 каналов, 44100 Гц — неизвестно, как свести эти каналы в "
                     "стерео"});
    cases.push_back(
        {"a mask with a left and no right",
         BuildWav(Box::Riff, Fmt(0xFFFE, 3, 44100, 16, 1, 16, 0x1 | 0x4 | 0x10), Bytes(600, 0))
             .bytes,
         "WAV: 16 бит, 3 канала, 44100 Гц — неизвестно, как свести эти каналы в "
         "стерео"});
    cases.push_back({"no data chunk",
                     [] {
                         Bytes b = BuildWav(Box::Riff, Fmt(1, 2, 44100, 24), Bytes(600, 0)).bytes;
                         std::memcpy(b.data() + 36, "DATA", 4);
                         return b;
                     }(),
                     "в WAV нет блока данных"});
    cases.push_back({"text", Bytes(100, 'a'), "это не WAV-файл"});
    cases.push_back({"AVI",
                     [] {
                         Bytes b = BuildWav(Box::Riff, Fmt(1, 2, 44100, 24), Bytes(600, 0)).bytes;
                         std::memcpy(b.data() + 8, "AVI ", 4);
                         return b;
                     }(),
                     "это не WAV-файл"});
    cases.push_back({"empty", Bytes{}, "файл пуст"});
    for (const Refusal& r : cases) {
        SCOPED_TRACE(r.what);
        testwav::WriteFile(dir / "bad.wav", r.bytes);
        CVadEngine e;
        std::string why;
        EXPECT_FALSE(e.LoadWav(dir / "bad.wav", &why));
        EXPECT_FALSE(e.IsLoaded());
        EXPECT_EQ(why, r.message);
        const kestrun::WavProbe probe = kestrun::ProbeWavFile(dir / "bad.wav");
        EXPECT_FALSE(probe.ok);
        EXPECT_EQ(probe.description, r.message);
        why.clear();
        EXPECT_FALSE(kestrun::WriteCanonicalCopy(dir / "bad.wav", dir / "copy.wav", &why));
        EXPECT_EQ(why, r.message);
        EXPECT_FALSE(std::filesystem::exists(dir / "copy.wav"));
    }
    CVadEngine e;
    std::string why;
    EXPECT_FALSE(e.LoadWav(dir / "none.wav", &why));
    EXPECT_EQ(why, "не удалось открыть файл");
}

TEST(WavLayout, BytesInMemoryLoadAsTheFileDoes) {
    uint32_t seed = 300;
    for (const Case& c : Table()) {
        SCOPED_TRACE(c.name);
        testwav::TempDir dir;
        const auto [src, ref] = WriteCase(c, dir, seed++);
        for (const std::string& path : {src, ref}) {
            std::string bytes = testwav::ReadFile(path);
            std::FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
            ASSERT_NE(f, nullptr);
            CVadEngine fromMemory;
            CVadEngine fromFile;
            std::string why;
            EXPECT_TRUE(fromMemory.LoadWavStream(f, bytes.size(), &why)) << why;
            std::fclose(f);
            ASSERT_TRUE(fromFile.LoadWav(path));
            ExpectSameLoad(fromMemory, fromFile, dir);
        }
    }
}

TEST(WavLayout, Wave64ChunkSizeNearTheTopIsRefused) {
    // A chunk size of 2^64 - 1 wrapped the walk's padding back onto the same chunk, and the
    // load never ended.
    for (uint64_t size : {~uint64_t{0}, ~uint64_t{0} - 7, uint64_t{1} << 63}) {
        SCOPED_TRACE(size);
        Bytes b;
        const uint8_t riff[16] = {'r',  'i',  'f',  'f',  0x2E, 0x91, 0xCF, 0x11,
                                  0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
        b.insert(b.end(), riff, riff + 16);
        Add64(b, 64 + 16);
        AddW64Id(b, "wave");
        AddW64Id(b, "junk");
        Add64(b, size);
        b.resize(b.size() + 16, 0);
        testwav::TempDir dir;
        testwav::WriteFile(dir / "huge.w64", b);
        CVadEngine e;
        std::string why;
        EXPECT_FALSE(e.LoadWav(dir / "huge.w64", &why));
        EXPECT_FALSE(why.empty());
        EXPECT_FALSE(e.IsLoaded());
    }
}

TEST(WavLayout, DownmixAgreesWithFfmpeg) {
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    // ffmpeg mixes 16-bit samples in 15-bit fixed point with rounded coefficients and
    // rounds halves up: one step apart where a channel is mixed in, two with 7.1's four
    // inputs a side; none where the matrix is only 1s and 0s (2.1).
    struct Mix {
        const char* what;
        Format fmt;
        int tolerance;
    };
    const Mix mixes[] = {
        {"3 channels", Fmt(1, 3, 44100, 16), 0},
        {"4 channels", Fmt(1, 4, 44100, 16), 1},
        {"5 channels", Fmt(1, 5, 44100, 16), 1},
        {"6 channels", Fmt(1, 6, 48000, 16), 1},
        {"7 channels", Fmt(1, 7, 48000, 16), 1},
        {"8 channels", Fmt(1, 8, 48000, 16), 2},
        {"5.1 extensible, masked", Fmt(0xFFFE, 6, 48000, 16, 1, 16, 0x3F), 1},
        {"5.1(side) extensible, masked", Fmt(0xFFFE, 6, 48000, 16, 1, 16, 0x60F), 1},
        {"FL FR FLC FRC extensible", Fmt(0xFFFE, 4, 44100, 16, 1, 16, 0xC3), 1},
        {"16 channels", Fmt(1, 16, 48000, 16), 2},
    };
    int worst = 0;
    uint32_t seed = 900;
    for (const Mix& m : mixes) {
        SCOPED_TRACE(m.what);
        testwav::TempDir dir;
        // Loud, so that the mix covers the whole range and clips now and then.
        const std::vector<double> x = Speechy(48000 * 2, m.fmt.channels, m.fmt.rate, seed++, 1.6);
        std::vector<int16_t> s16;
        testwav::WriteFile(dir / "in.wav",
                           BuildWav(Box::Riff, m.fmt, Encode(m.fmt, x, &s16, 1)).bytes);
        const std::string cmd = "ffmpeg -nostdin -loglevel error -y -i '" + dir / "in.wav" +
                                "' -af aformat=channel_layouts=stereo -c:a pcm_s16le '" +
                                dir / "ff.wav" + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        std::string why;
        ASSERT_TRUE(kestrun::WriteCanonicalCopy(dir / "in.wav", dir / "ours.wav", &why)) << why;
        const std::vector<int16_t> ff = DataSamples(dir / "ff.wav");
        const std::vector<int16_t> ours = DataSamples(dir / "ours.wav");
        ASSERT_EQ(ff.size(), ours.size());
        int differ = 0;
        for (std::size_t i = 0; i < ff.size(); ++i) {
            differ = std::max(differ, std::abs(int(ff[i]) - int(ours[i])));
        }
        EXPECT_LE(differ, m.tolerance);
        worst = std::max(worst, differ);
    }
    std::printf("largest difference from ffmpeg's downmix: %d\n", worst);
}

TEST(WavLayout, ConvertedFilesRunTheSpeechReaderLikeTheEngine) {
    // The same frames reach the engine from a 24-bit file and from its canonical copy: a
    // detector run on either gives the same bytes (the speech reader uses the same reader).
    testwav::TempDir dir;
    Case c = C("24-bit 6 channels", Box::Riff, Fmt(1, 6, 16000, 24), {FL, FR, FC, LFE, BL, BR});
    const auto [src, ref] = WriteCase(c, dir, 77);
    std::FILE* f = std::fopen(src.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    const kestrun::WavResolution r = kestrun::ResolveWavFile(f, std::filesystem::file_size(src));
    ASSERT_TRUE(r.ok) << r.why;
    kestrun::WavFrameReader reader(f, r.layout, 10000);
    std::vector<int16_t> got;
    for (;;) {
        const int16_t* s = nullptr;
        std::size_t n = 0;
        ASSERT_TRUE(reader.Next(&s, &n));
        if (n == 0) {
            break;
        }
        got.insert(got.end(), s, s + 2 * n);
    }
    std::fclose(f);
    EXPECT_TRUE(got == DataSamples(ref));
}

TEST(WavLayout, SeveralThreadsLoadAtOnce) {
    // Each thread has its own read buffer: loads at the same time give what loads one
    // after the other give.
    const std::vector<Case> table = Table();
    testwav::TempDir dir;
    std::vector<std::string> paths;
    std::vector<std::vector<double>> expected;
    for (std::size_t i = 0; i < 6; ++i) {
        const Case& c = table[(i * 5) % table.size()];
        testwav::TempDir sub;
        const auto [src, ref] = WriteCase(c, sub, uint32_t(300 + i));
        const std::string path = dir / (std::to_string(i) + ".wav");
        std::filesystem::copy_file(src, path);
        CVadEngine e;
        ASSERT_TRUE(e.LoadWav(path));
        paths.push_back(path);
        expected.push_back(Energies(e, 0));
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (std::size_t i = 0; i < paths.size(); ++i) {
                    const std::size_t k = (i + std::size_t(t)) % paths.size();
                    CVadEngine e;
                    if (!e.LoadWav(paths[k]) || Energies(e, 0) != expected[k]) {
                        ++mismatches;
                    }
                }
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

// ---- following a file while it is written ----

namespace {

struct Growing {
    Bytes initial;               // the header as first written, sizes possibly placeholders
    Bytes finished;              // the file at the end
    std::size_t headerBytes = 0; // bytes of the header rewritten at the end
};

// Writes g.initial's header and then the rest of g.finished in random pieces, with pauses,
// and rewrites the header at the end.
void WriteGrowingFile(const std::string& path, const Growing& g, uint32_t seed,
                      bool rewriteHeader = true) {
    std::mt19937 rng(seed);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::setvbuf(f, nullptr, _IONBF, 0);
    std::size_t at = 0;
    while (at < g.finished.size()) {
        const std::size_t piece =
            std::min<std::size_t>(g.finished.size() - at, 1 + rng() % (rng() % 4 == 0 ? 7 : 60000));
        const uint8_t* from = at < g.headerBytes ? g.initial.data() : g.finished.data();
        const std::size_t n = at < g.headerBytes ? std::min(piece, g.headerBytes - at) : piece;
        ASSERT_EQ(std::fwrite(from + at, 1, n, f), n);
        at += n;
        if (rng() % 3 == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2500));
        }
    }
    if (rewriteHeader) {
        std::fseek(f, 0, SEEK_SET);
        ASSERT_EQ(std::fwrite(g.finished.data(), 1, g.headerBytes, f), g.headerBytes);
    }
    std::fclose(f);
}

Growing MakeGrowing(Box box, const Format& f, double seconds, uint32_t seed,
                    const std::vector<Chunk>& before, const std::vector<Chunk>& after,
                    uint32_t placeholder) {
    const std::vector<double> x = Speechy(std::size_t(seconds * f.rate), f.channels, f.rate, seed);
    std::vector<int16_t> s16;
    const Built w = BuildWav(box, f, Encode(f, x, &s16, seed), before, after);
    Growing g;
    g.finished = w.bytes;
    g.headerBytes = w.dataAt;
    g.initial = w.bytes;
    g.initial.resize(w.dataAt);
    const std::size_t width = box == Box::Riff ? 4 : 8;
    const uint64_t p = box == Box::Riff ? placeholder : (placeholder == 0 ? 0 : ~uint64_t{0});
    for (std::size_t at : {w.riffSizeAt, w.dataSizeAt}) {
        for (std::size_t i = 0; i < width; ++i) {
            g.initial[at + i] = uint8_t(p >> (8 * i));
        }
    }
    if (box == Box::Rf64) { // the ds64 data size too
        for (std::size_t i = 0; i < 8; ++i) {
            g.initial[w.riffSizeAt + 8 + i] = uint8_t(p >> (8 * i));
        }
    }
    return g;
}

struct FollowResult {
    bool ok = false;
    std::string why;
    int polls = 0;        // writerEnded() calls
    int pollsWriting = 0; // of them, made while the writer was still writing
};

// Follows path while writer runs on a thread of its own.
FollowResult Follow(CVadEngine& e, const std::string& path, const std::function<void()>& writer,
                    int startDelayMs = 0) {
    std::atomic<bool> ended{false};
    std::atomic<int> polls{0};
    FollowResult r;
    std::thread t([&] {
        if (startDelayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(startDelayMs));
        }
        writer();
        r.pollsWriting = polls.load();
        ended = true;
    });
    r.ok = e.LoadWavFollowing(
        path,
        [&] {
            ++polls;
            return ended.load();
        },
        &r.why);
    t.join();
    r.polls = polls.load();
    return r;
}

void ExpectSameAsPlainLoad(CVadEngine& followed, const std::string& path,
                           const testwav::TempDir& dir) {
    CVadEngine plain;
    ASSERT_TRUE(plain.LoadWav(path));
    ExpectSameLoad(followed, plain, dir);
}

} // namespace

TEST(WavFollowing, WriterInPiecesWithPlaceholderSizes) {
    struct FollowCase {
        const char* what;
        Box box;
        Format fmt;
        std::vector<Chunk> before;
        std::vector<Chunk> after;
        uint32_t placeholder;
    };
    const FollowCase cases[] = {
        {"canonical 16-bit, sizes 0", Box::Riff, Fmt(1, 2, 44100, 16), {}, {}, 0},
        {"24-bit with LIST, sizes -1",
         Box::Riff,
         Fmt(1, 2, 48000, 24),
         {Make("LIST", 31)},
         {},
         0xFFFFFFFFu},
        {"extensible 5.1 float", Box::Riff, Fmt(0xFFFE, 6, 48000, 32, 3, 32, 0x3F), {}, {}, 0},
        {"short trailing chunk",
         Box::Riff,
         Fmt(1, 2, 44100, 16),
         {Make("JUNK", 28, true)},
         {Make("LIST", 3000)},
         0xFFFFFFFFu},
        {"trailing chunk longer than what is kept back",
         Box::Riff,
         Fmt(1, 1, 44100, 24),
         {},
         {Make("id3 ", 1500000)},
         0},
        {"RF64", Box::Rf64, Fmt(1, 2, 44100, 24), {}, {}, 0xFFFFFFFFu},
        {"Wave64", Box::W64, Fmt(1, 2, 44100, 16), {Make("LIST", 5)}, {}, 0},
    };
    uint32_t seed = 40;
    for (const FollowCase& c : cases) {
        SCOPED_TRACE(c.what);
        testwav::TempDir dir;
        const std::string path = dir / "grow.wav";
        const Growing g = MakeGrowing(c.box, c.fmt, 12.0, seed, c.before, c.after, c.placeholder);
        CVadEngine e;
        const FollowResult r = Follow(e, path, [&] { WriteGrowingFile(path, g, seed); });
        ++seed;
        ASSERT_TRUE(r.ok) << r.why;
        EXPECT_GT(r.pollsWriting, 2) << "the load should have followed the writer";
        ASSERT_EQ(testwav::ReadFile(path), std::string(g.finished.begin(), g.finished.end()));
        ExpectSameAsPlainLoad(e, path, dir);
    }
}

TEST(WavFollowing, FileThatAppearsLate) {
    testwav::TempDir dir;
    const std::string path = dir / "late.wav";
    const Growing g = MakeGrowing(Box::Riff, Fmt(1, 2, 22050, 16), 5.0, 7, {}, {}, 0);
    CVadEngine e;
    const FollowResult r = Follow(
        e, path, [&] { WriteGrowingFile(path, g, 8); }, 60);
    ASSERT_TRUE(r.ok) << r.why;
    ExpectSameAsPlainLoad(e, path, dir);
}

TEST(WavFollowing, ReplacedByARenameGivesTheNewFile) {
    testwav::TempDir dir;
    const std::string path = dir / "grow.wav";
    // The same layout and length, other audio: size and header alike.
    const Format f = Fmt(1, 2, 44100, 24);
    const Growing g = MakeGrowing(Box::Riff, f, 8.0, 11, {}, {}, 0);
    const Growing other = MakeGrowing(Box::Riff, f, 8.0, 12, {}, {}, 0);
    ASSERT_EQ(g.finished.size(), other.finished.size());
    for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(variant);
        const Bytes& replacement =
            variant == 0
                ? other.finished
                : MakeGrowing(Box::Riff, Fmt(1, 1, 16000, 16), 3.0, 13, {}, {}, 0).finished;
        CVadEngine e;
        const FollowResult r = Follow(e, path, [&] {
            WriteGrowingFile(path, g, 14);
            testwav::WriteFile(dir / "new.wav", replacement);
            std::filesystem::rename(dir / "new.wav", path);
        });
        ASSERT_TRUE(r.ok) << r.why;
        ExpectSameAsPlainLoad(e, path, dir);
        // And not what was followed.
        testwav::WriteFile(dir / "old.wav", g.finished);
        CVadEngine old;
        ASSERT_TRUE(old.LoadWav(dir / "old.wav"));
        EXPECT_FALSE(Energies(e, 0) == Energies(old, 0));
        std::filesystem::remove(path);
    }
}

TEST(WavFollowing, FailuresAreLoadWavs) {
    testwav::TempDir dir;
    const std::string path = dir / "grow.wav";
    const Growing g = MakeGrowing(Box::Riff, Fmt(1, 2, 44100, 16), 4.0, 21, {}, {}, 0);
    {
        SCOPED_TRACE("deleted at the end");
        CVadEngine e;
        const FollowResult r = Follow(e, path, [&] {
            WriteGrowingFile(path, g, 22);
            std::filesystem::remove(path);
        });
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(e.IsLoaded());
        EXPECT_EQ(r.why, "не удалось открыть файл");
    }
    {
        SCOPED_TRACE("never started");
        CVadEngine e;
        const auto t0 = std::chrono::steady_clock::now();
        const FollowResult r = Follow(e, dir / "never.wav", [] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        });
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(e.IsLoaded());
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
        EXPECT_GT(r.polls, 3);
        EXPECT_LT(r.polls, 200) << "waiting must not spin";
    }
    {
        SCOPED_TRACE("sizes never written");
        CVadEngine e;
        const FollowResult r = Follow(e, path, [&] { WriteGrowingFile(path, g, 23, false); });
        EXPECT_FALSE(r.ok);
        CVadEngine plain;
        std::string why;
        EXPECT_FALSE(plain.LoadWav(path, &why));
        EXPECT_EQ(r.why, why);
    }
    {
        SCOPED_TRACE("a format the engine does not read");
        Growing alaw = MakeGrowing(Box::Riff, Fmt(1, 1, 8000, 8), 3.0, 24, {}, {}, 0);
        alaw.initial[20] = 6;
        alaw.finished[20] = 6;
        CVadEngine e;
        const FollowResult r = Follow(e, path, [&] { WriteGrowingFile(path, alaw, 25); });
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.why, "WAV в формате A-law (код 6)");
    }
    {
        SCOPED_TRACE("a followed file that gets a new format at the end");
        Growing changed = MakeGrowing(Box::Riff, Fmt(1, 2, 44100, 16), 4.0, 26, {}, {}, 0);
        testwav::Put32(changed.finished, 24, 48000); // the rate written at the end differs
        testwav::Put32(changed.finished, 28, 48000 * 4);
        CVadEngine e;
        const FollowResult r = Follow(e, path, [&] { WriteGrowingFile(path, changed, 27); });
        ASSERT_TRUE(r.ok) << r.why;
        EXPECT_EQ(e.header().nSamplesPerSec, 48000u);
        ExpectSameAsPlainLoad(e, path, dir);
    }
}
