// make_speech_set: the two steps of the speech quality set that need more than a shell.
//   make_speech_set midi OUT.mid SECONDS
//     writes a continuous song (chords, bass, drums, melody) for fluidsynth to render.
//   make_speech_set mix LIST MUSIC.wav SECONDS OUTDIR
//     places the sentences named in LIST (44.1 kHz mono 16-bit WAVs, one path a line) over
//     the rendered music and writes the variants (speech-to-music ratio +15, +5 and 0 dB,
//     each with and without noise swells and loud bursts) as 44.1 kHz stereo 16-bit WAVs,
//     with truth.txt (one "START_MS END_MS" line per sentence) and layout.txt.
// Every random choice comes from fixed seeds, so the same inputs give the same files.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "Random.h"
#include "WavHeader.h"

namespace {

constexpr uint32_t RATE = 44100;

using kestrun::bench::Random;

// ---------------------------------------------------------------------------------------
// The song.

constexpr int PPQ = 480;
constexpr int BPM = 100;
constexpr int BAR = 4 * PPQ;
constexpr int CH_PAD = 0;
constexpr int CH_BASS = 1;
constexpr int CH_LEAD = 2;
constexpr int CH_KEYS = 3;
constexpr int CH_DRUMS = 9;

struct MidiEvent {
    int64_t tick;
    int order; // at one tick: note-offs (0) before set-up (1) before note-ons (2)
    std::vector<uint8_t> bytes;
};

class Track {
public:
    void Add(int64_t tick, int order, std::vector<uint8_t> bytes) {
        events_.push_back({tick, order, std::move(bytes)});
    }
    void Note(int ch, int64_t tick, int64_t length, int key, int velocity) {
        velocity = std::clamp(velocity, 1, 127);
        Add(tick, 2,
            {static_cast<uint8_t>(0x90 | ch), static_cast<uint8_t>(key),
             static_cast<uint8_t>(velocity)});
        Add(tick + length, 0,
            {static_cast<uint8_t>(0x80 | ch), static_cast<uint8_t>(key), uint8_t{0}});
    }
    void Control(int ch, int64_t tick, int controller, int value) {
        Add(tick, 1,
            {static_cast<uint8_t>(0xB0 | ch), static_cast<uint8_t>(controller),
             static_cast<uint8_t>(value)});
    }
    void Program(int ch, int program) {
        Add(0, 1, {static_cast<uint8_t>(0xC0 | ch), static_cast<uint8_t>(program)});
    }
    // The track chunk: events in time order, delta times as variable-length numbers.
    std::vector<uint8_t> Chunk() {
        std::stable_sort(events_.begin(), events_.end(), [](const auto& a, const auto& b) {
            return a.tick != b.tick ? a.tick < b.tick : a.order < b.order;
        });
        std::vector<uint8_t> body;
        int64_t last = 0;
        for (const MidiEvent& e : events_) {
            PutVarLen(body, static_cast<uint32_t>(e.tick - last));
            body.insert(body.end(), e.bytes.begin(), e.bytes.end());
            last = e.tick;
        }
        body.insert(body.end(), {0x00, 0xFF, 0x2F, 0x00});
        std::vector<uint8_t> chunk = {'M', 'T', 'r', 'k'};
        PutBig(chunk, static_cast<uint32_t>(body.size()), 4);
        chunk.insert(chunk.end(), body.begin(), body.end());
        return chunk;
    }
    static void PutBig(std::vector<uint8_t>& out, uint32_t v, int bytes) {
        for (int i = bytes - 1; i >= 0; --i) {
            out.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
    }

private:
    static void PutVarLen(std::vector<uint8_t>& out, uint32_t v) {
        uint8_t groups[5];
        int n = 0;
        do {
            groups[n++] = static_cast<uint8_t>(v & 0x7F);
            v >>= 7;
        } while (v != 0);
        while (n > 1) {
            out.push_back(static_cast<uint8_t>(groups[--n] | 0x80));
        }
        out.push_back(groups[0]);
    }
    std::vector<MidiEvent> events_;
};

// A chord as semitones above C plus minor or major.
struct Chord {
    int root;
    bool minor;
};

constexpr int MAJOR_SCALE[] = {0, 2, 4, 5, 7, 9, 11};

// The nearest key at or above `from` whose pitch class is a note of the chord.
int ChordToneAbove(const Chord& c, int from, int index) {
    const int tones[3] = {c.root, c.root + (c.minor ? 3 : 4), c.root + 7};
    const int pc = tones[index % 3] % 12;
    int key = from;
    while (((key % 12) + 12) % 12 != pc) {
        ++key;
    }
    return key;
}

// Sections of eight bars, each with its own instruments and loudness, so the music
// changes under the speech as a film score does, but never stops.
enum class Section { Soft, Full, Keys };

int WriteSong(const char* path, double seconds) {
    Random rng(0x536F6E67'4B657374ULL);
    const double barSeconds = 4.0 * 60.0 / BPM;
    const int bars = static_cast<int>(std::ceil(seconds / barSeconds)) + 1;
    const std::vector<std::vector<Chord>> progressions = {
        {{0, false}, {9, true}, {5, false}, {7, false}},
        {{9, true}, {5, false}, {0, false}, {7, false}},
        {{5, false}, {7, false}, {4, true}, {9, true}},
        {{2, true}, {7, false}, {0, false}, {9, true}},
    };
    const Section plan[] = {Section::Soft, Section::Full, Section::Keys, Section::Full,
                            Section::Soft, Section::Keys, Section::Full};

    Track t;
    // Tempo: microseconds per quarter note.
    std::vector<uint8_t> tempo = {0xFF, 0x51, 0x03};
    Track::PutBig(tempo, 60000000u / BPM, 3);
    t.Add(0, 1, tempo);
    t.Program(CH_PAD, 48);  // string ensemble
    t.Program(CH_BASS, 33); // finger bass
    t.Program(CH_LEAD, 65); // alto sax: the most voice-like of the usual leads
    t.Program(CH_KEYS, 0);  // piano
    for (const int ch : {CH_PAD, CH_BASS, CH_LEAD, CH_KEYS, CH_DRUMS}) {
        t.Control(ch, 0, 7, 100); // channel volume
        t.Control(ch, 0, 91, 40); // reverb send
    }
    t.Control(CH_PAD, 0, 10, 40); // pan a little apart, as a stereo mix is
    t.Control(CH_KEYS, 0, 10, 88);
    t.Control(CH_LEAD, 0, 10, 72);

    int lead = 72;
    for (int bar = 0; bar < bars; ++bar) {
        const Section section = plan[(bar / 8) % std::size(plan)];
        const auto& prog = progressions[static_cast<std::size_t>((bar / 8) % 4)];
        const Chord chord = prog[static_cast<std::size_t>(bar % 4)];
        const int64_t at = int64_t{bar} * BAR;
        const int loud = section == Section::Full ? 20 : 0;

        // Pad: the chord held over the whole bar, always there.
        for (int i = 0; i < 3; ++i) {
            t.Note(CH_PAD, at, BAR, ChordToneAbove(chord, 55, i), 58 + loud + rng.Pick(8));
        }
        // Bass: the root on every beat, an octave jump on the last eighth.
        const int root = ChordToneAbove(chord, 36, 0);
        for (int beat = 0; beat < 4; ++beat) {
            t.Note(CH_BASS, at + beat * PPQ, PPQ - 40, root, 80 + loud / 2 + rng.Pick(10));
        }
        if (section != Section::Soft) {
            t.Note(CH_BASS, at + 3 * PPQ + PPQ / 2, PPQ / 2 - 20, root + 12, 70);
        }
        // Drums: hi-hat eighths throughout; kick and snare except in the soft sections.
        for (int eighth = 0; eighth < 8; ++eighth) {
            t.Note(CH_DRUMS, at + eighth * PPQ / 2, PPQ / 4, 42,
                   (eighth % 2 == 0 ? 70 : 50) + loud / 2 + rng.Pick(10));
        }
        if (section != Section::Soft) {
            t.Note(CH_DRUMS, at, PPQ / 2, 36, 100);
            t.Note(CH_DRUMS, at + 2 * PPQ, PPQ / 2, 36, 95);
            t.Note(CH_DRUMS, at + PPQ, PPQ / 2, 38, 90 + rng.Pick(15));
            t.Note(CH_DRUMS, at + 3 * PPQ, PPQ / 2, 38, 90 + rng.Pick(15));
        }
        if (bar % 8 == 0) {
            t.Note(CH_DRUMS, at, BAR, 49, 90);
        }
        // Keys: broken chords in eighths.
        if (section == Section::Keys) {
            for (int eighth = 0; eighth < 8; ++eighth) {
                const int key = ChordToneAbove(chord, eighth < 4 ? 60 : 67, eighth);
                t.Note(CH_KEYS, at + eighth * PPQ / 2, PPQ / 2, key, 64 + rng.Pick(16));
            }
        }
        // Lead: a walk over the scale that lands on chord tones on the strong beats.
        if (section != Section::Soft) {
            int64_t pos = 0;
            while (pos < BAR) {
                static constexpr int LENGTHS[] = {PPQ / 2, PPQ / 2, PPQ, PPQ, 2 * PPQ};
                const int64_t len = std::min<int64_t>(LENGTHS[rng.Pick(5)], BAR - pos);
                if (pos % PPQ == 0 && pos % (2 * PPQ) == 0) {
                    lead = ChordToneAbove(chord, lead - 2, rng.Pick(3));
                } else {
                    const int step = rng.Pick(5) - 2;
                    int degree = 0;
                    while (MAJOR_SCALE[degree] != ((lead % 12) + 12) % 12 && degree < 6) {
                        ++degree;
                    }
                    const int octave = lead / 12;
                    const int d = degree + step;
                    lead = (octave + (d < 0 ? -1 : d / 7)) * 12 + MAJOR_SCALE[(d % 7 + 7) % 7];
                }
                lead = std::clamp(lead, 67, 86);
                if (!rng.Chance(0.15)) { // now and then a rest
                    t.Note(CH_LEAD, at + pos, len - 30, lead, 72 + loud / 2 + rng.Pick(16));
                }
                pos += len;
            }
        }
    }

    std::vector<uint8_t> file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1};
    Track::PutBig(file, PPQ, 2);
    const std::vector<uint8_t> chunk = t.Chunk();
    file.insert(file.end(), chunk.begin(), chunk.end());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
    if (!out) {
        std::fprintf(stderr, "make_speech_set: cannot write %s\n", path);
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------
// WAV files.

uint32_t Le(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

// A 16-bit PCM WAV of any chunk layout (fluidsynth's and sox's are not all canonical),
// samples as floats of full scale 1, channels interleaved.
struct Audio {
    uint32_t rate = 0;
    uint16_t channels = 0;
    std::vector<float> samples;
    std::size_t Frames() const { return channels == 0 ? 0 : samples.size() / channels; }
};

bool ReadWav(const std::string& path, Audio* audio) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (bytes.size() < 12 || std::string(bytes.begin(), bytes.begin() + 4) != "RIFF" ||
        std::string(bytes.begin() + 8, bytes.begin() + 12) != "WAVE") {
        std::fprintf(stderr, "make_speech_set: %s: not a WAV file\n", path.c_str());
        return false;
    }
    bool haveFormat = false;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::string id(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                             bytes.begin() + static_cast<std::ptrdiff_t>(at) + 4);
        const std::size_t size =
            std::min<std::size_t>(Le(&bytes[at + 4], 4), bytes.size() - at - 8);
        const uint8_t* body = &bytes[at + 8];
        if (id == "fmt " && size >= 16) {
            const uint32_t format = Le(body, 2);
            audio->channels = static_cast<uint16_t>(Le(body + 2, 2));
            audio->rate = Le(body + 4, 4);
            const uint32_t bits = Le(body + 14, 2);
            // 0xFFFE: the extensible layout, which carries 16-bit PCM just the same.
            if ((format != 1 && format != 0xFFFE) || bits != 16 || audio->channels == 0) {
                std::fprintf(stderr, "make_speech_set: %s: not 16-bit PCM\n", path.c_str());
                return false;
            }
            haveFormat = true;
        } else if (id == "data" && haveFormat) {
            audio->samples.resize(size / 2);
            for (std::size_t i = 0; i < audio->samples.size(); ++i) {
                audio->samples[i] =
                    static_cast<float>(static_cast<int16_t>(Le(body + 2 * i, 2))) / 32768.0f;
            }
            return true;
        }
        at += 8 + size + (size & 1);
    }
    std::fprintf(stderr, "make_speech_set: %s: no data\n", path.c_str());
    return false;
}

// Writes interleaved stereo in the canonical layout; returns the count of clipped samples
// through *clipped.
bool WriteStereo(const std::string& path, const std::vector<double>& left,
                 const std::vector<double>& right, std::size_t* clipped) {
    const std::size_t frames = left.size();
    const auto header = kestrun::SerializeWavHeader(
        kestrun::CanonicalWavHeader(2, RATE, static_cast<uint32_t>(frames * 4)));
    std::vector<uint8_t> out(header.begin(), header.end());
    out.reserve(header.size() + frames * 4);
    *clipped = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        for (const double v : {left[i], right[i]}) {
            const double s = std::round(v * 32768.0);
            *clipped += (s > 32767.0 || s < -32768.0) ? 1 : 0;
            const auto u =
                static_cast<uint16_t>(static_cast<int16_t>(std::clamp(s, -32768.0, 32767.0)));
            out.push_back(static_cast<uint8_t>(u & 0xFF));
            out.push_back(static_cast<uint8_t>(u >> 8));
        }
    }
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    return static_cast<bool>(f);
}

// ---------------------------------------------------------------------------------------
// The mix.

constexpr double SPEECH_PEAK = 0.25;    // -12 dBFS: leaves bursts 12 dB above it
constexpr double BURST_PEAK = 0.99;     // full scale
constexpr double TRUTH_LEVEL = 0.01;    // -40 dB below the speech peak
constexpr double LEVEL_SPREAD_DB = 2.0; // sentence loudness varies by up to this
constexpr double MIN_PAUSE = 0.4;       // seconds between sentences
constexpr double MAX_PAUSE = 4.0;
constexpr double MIN_MUSIC_ONLY = 10.0; // music-only stretches between groups
constexpr double MAX_MUSIC_ONLY = 20.0;
constexpr double EFFECT_MARGIN = 0.6; // seconds kept between an effect and speech
constexpr double RATIOS_DB[] = {15.0, 5.0, 0.0};

struct Placed {
    std::size_t sentence;
    std::size_t at;    // first sample above the truth level, in the mix
    std::size_t first; // same sample in the sentence's own file
    std::size_t length;
};

struct Effect {
    bool burst;
    std::size_t at;
    std::size_t length;
    double level; // swell: peak RMS relative to the speech RMS, in dB
};

std::size_t Samples(double seconds) {
    return static_cast<std::size_t>(std::llround(seconds * RATE));
}

// Filtered noise under a rise-and-fall envelope, its band sweeping up and back down, so
// it sounds like wind or a passing car. Added to both channels, each with its own noise.
void AddSwell(std::vector<double>* ch, const Effect& e, double speechRms, Random& rng) {
    const double peakFraction = rng.Between(0.3, 0.7);
    const double amplitude = speechRms * std::pow(10.0, e.level / 20.0);
    for (int c = 0; c < 2; ++c) {
        double z1 = 0.0, z2 = 0.0; // band-pass state
        // The noise is scaled by the filter's measured gain so the envelope sets the RMS.
        std::vector<double> v(e.length);
        double power = 0.0;
        for (std::size_t i = 0; i < e.length; ++i) {
            const double pos = static_cast<double>(i) / static_cast<double>(e.length);
            const double rise =
                pos < peakFraction ? pos / peakFraction : (1.0 - pos) / (1.0 - peakFraction);
            const double centre = 250.0 + 2500.0 * rise * rise;
            const double w = 2.0 * std::numbers::pi * centre / RATE;
            const double alpha = std::sin(w) / (2.0 * 1.2);
            const double a0 = 1.0 + alpha;
            const double x = rng.Signed();
            // Band-pass of 0 dB peak gain (b1 = 0, b2 = -b0), direct form II transposed.
            const double b0 = alpha / a0;
            const double a1 = -2.0 * std::cos(w) / a0;
            const double a2 = (1.0 - alpha) / a0;
            const double y = b0 * x + z1;
            z1 = -a1 * y + z2;
            z2 = -b0 * x - a2 * y;
            v[i] = y;
            power += y * y;
        }
        const double rms = std::sqrt(power / static_cast<double>(e.length)) + 1e-12;
        for (std::size_t i = 0; i < e.length; ++i) {
            const double pos = static_cast<double>(i) / static_cast<double>(e.length);
            const double rise =
                pos < peakFraction ? pos / peakFraction : (1.0 - pos) / (1.0 - peakFraction);
            const double env = std::sin(0.5 * std::numbers::pi * rise);
            ch[c][e.at + i] += amplitude * env * env * v[i] / rms;
        }
    }
}

// A shot or a slam: an instant attack, noise decaying over tens of milliseconds over a
// low thump, its peak at full scale.
void AddBurst(std::vector<double>* ch, const Effect& e, Random& rng) {
    const double tau = rng.Between(0.015, 0.04) * RATE;
    const double thumpHz = rng.Between(50.0, 90.0);
    std::vector<double> v(e.length);
    double peak = 0.0;
    double lp = 0.0;
    for (std::size_t i = 0; i < e.length; ++i) {
        const double t = static_cast<double>(i);
        lp = 0.6 * lp + 0.4 * rng.Signed();
        const double attack = std::min(1.0, t / (0.001 * RATE));
        const double fade = std::min(1.0, static_cast<double>(e.length - i) / (0.01 * RATE));
        v[i] =
            attack * fade *
            (std::exp(-t / tau) * lp + 0.6 * std::exp(-t / (0.04 * RATE)) *
                                           std::sin(2.0 * std::numbers::pi * thumpHz * t / RATE));
        peak = std::max(peak, std::abs(v[i]));
    }
    for (std::size_t i = 0; i < e.length; ++i) {
        ch[0][e.at + i] += BURST_PEAK * v[i] / peak;
        ch[1][e.at + i] += BURST_PEAK * 0.9 * v[i] / peak;
    }
}

// Effects in the stretches between sentences, each at least EFFECT_MARGIN from speech.
std::vector<Effect> PlanEffects(const std::vector<std::pair<std::size_t, std::size_t>>& gaps,
                                Random& rng) {
    std::vector<Effect> effects;
    const std::size_t margin = Samples(EFFECT_MARGIN);
    for (const auto& [from, to] : gaps) {
        if (to < from + 2 * margin) {
            continue;
        }
        std::size_t lo = from + margin;
        const std::size_t hi = to - margin;
        const bool long_ = hi - lo > Samples(MIN_MUSIC_ONLY / 2);
        // A music-only stretch gets a swell and two bursts; a pause a burst or a swell
        // now and then, where it fits.
        const int swells = long_ ? 1 : (rng.Chance(0.3) ? 1 : 0);
        const int bursts = long_ ? 2 : (rng.Chance(0.5) ? 1 : 0);
        for (int k = 0; k < swells + bursts; ++k) {
            const bool burst = k >= swells;
            const std::size_t length =
                burst ? Samples(rng.Between(0.08, 0.13)) : Samples(rng.Between(1.0, 3.0));
            if (lo + length > hi) {
                continue;
            }
            // Somewhere in the first half of what is left, so later ones still fit.
            const std::size_t room = hi - lo - length;
            const std::size_t at = lo + static_cast<std::size_t>(rng.Unit() * 0.5 * room);
            effects.push_back({burst, at, length, rng.Between(0.0, 6.0)});
            lo = at + length + Samples(0.3);
        }
    }
    return effects;
}

int Mix(const char* listPath, const char* musicPath, double seconds, const std::string& outDir) {
    std::vector<std::string> paths;
    {
        std::ifstream list(listPath);
        for (std::string line; std::getline(list, line);) {
            if (!line.empty()) {
                paths.push_back(line);
            }
        }
    }
    Audio music;
    if (paths.empty() || !ReadWav(musicPath, &music)) {
        std::fprintf(stderr, "make_speech_set: nothing to mix\n");
        return 1;
    }
    const std::size_t frames = Samples(seconds);
    if (music.rate != RATE || music.channels != 2 || music.Frames() < frames) {
        std::fprintf(stderr, "make_speech_set: %s: need %.0f s of 44.1 kHz stereo\n", musicPath,
                     seconds);
        return 1;
    }

    // Each sentence brought to the same RMS over its active span, give or take a little,
    // then all scaled together so the loudest sample sits at SPEECH_PEAK.
    Random rng(0x53706565'63685365ULL);
    std::vector<std::vector<double>> sentences;
    for (const std::string& p : paths) {
        Audio a;
        if (!ReadWav(p, &a) || a.rate != RATE || a.channels != 1) {
            std::fprintf(stderr, "make_speech_set: %s: need 44.1 kHz mono\n", p.c_str());
            return 1;
        }
        // RMS over the span above 1% of the sentence's own peak: espeak-ng pads each
        // sentence with silence of its own length, which must not count.
        float own = 0.0f;
        for (const float s : a.samples) {
            own = std::max(own, std::abs(s));
        }
        std::size_t from = 0;
        std::size_t to = a.samples.size();
        while (from < to && std::abs(a.samples[from]) <= 0.01f * own) {
            ++from;
        }
        while (to > from && std::abs(a.samples[to - 1]) <= 0.01f * own) {
            --to;
        }
        double power = 0.0;
        for (std::size_t i = from; i < to; ++i) {
            power += double{a.samples[i]} * a.samples[i];
        }
        const double rms =
            std::sqrt(power / static_cast<double>(std::max<std::size_t>(1, to - from))) + 1e-12;
        const double gain = std::pow(10.0, rng.Between(-LEVEL_SPREAD_DB, LEVEL_SPREAD_DB) / 20.0);
        std::vector<double> v(a.samples.begin(), a.samples.end());
        for (double& s : v) {
            s *= gain / rms;
        }
        sentences.push_back(std::move(v));
    }
    double peak = 0.0;
    for (const auto& v : sentences) {
        for (const double s : v) {
            peak = std::max(peak, std::abs(s));
        }
    }
    for (auto& v : sentences) {
        for (double& s : v) {
            s *= SPEECH_PEAK / peak;
        }
    }

    // Layout: music-only stretch, a group of sentences with pauses, music-only stretch, ...
    // A sentence's span is from its first to its last sample above the truth level, and
    // only that span is placed, so the clean speech track is exactly zero outside the truth.
    const double level = TRUTH_LEVEL * SPEECH_PEAK;
    std::vector<Placed> placed;
    std::vector<std::pair<std::size_t, std::size_t>> gaps; // [from, to) without speech
    std::size_t t = Samples(rng.Between(MIN_MUSIC_ONLY, MAX_MUSIC_ONLY));
    std::size_t gapFrom = 0;
    std::size_t next = 0;
    int groupLeft = 4 + rng.Pick(4);
    while (next < sentences.size()) {
        const auto& v = sentences[next];
        std::size_t first = 0;
        while (first < v.size() && std::abs(v[first]) <= level) {
            ++first;
        }
        std::size_t last = v.size();
        while (last > first && std::abs(v[last - 1]) <= level) {
            --last;
        }
        const std::size_t length = last - first;
        if (t + length + Samples(MIN_MUSIC_ONLY) > frames) {
            break; // the end stays music only
        }
        gaps.emplace_back(gapFrom, t);
        placed.push_back({next, t, first, length});
        gapFrom = t + length;
        ++next;
        if (--groupLeft == 0) {
            groupLeft = 4 + rng.Pick(4);
            t = gapFrom + Samples(rng.Between(MIN_MUSIC_ONLY, MAX_MUSIC_ONLY));
        } else {
            // Log-uniform: short pauses are more common than long ones, as in dialogue.
            t = gapFrom +
                Samples(MIN_PAUSE * std::exp(rng.Unit() * std::log(MAX_PAUSE / MIN_PAUSE)));
        }
    }
    gaps.emplace_back(gapFrom, frames);
    if (placed.empty()) {
        std::fprintf(stderr, "make_speech_set: no sentence fits\n");
        return 1;
    }

    std::vector<double> speech(frames, 0.0);
    double activePower = 0.0;
    std::size_t activeSamples = 0;
    for (const Placed& p : placed) {
        const auto& v = sentences[p.sentence];
        for (std::size_t i = 0; i < p.length; ++i) {
            speech[p.at + i] = v[p.first + i];
            activePower += v[p.first + i] * v[p.first + i];
        }
        activeSamples += p.length;
    }
    const double speechRms = std::sqrt(activePower / static_cast<double>(activeSamples));
    double musicPower = 0.0;
    for (std::size_t i = 0; i < 2 * frames; ++i) {
        musicPower += double{music.samples[i]} * music.samples[i];
    }
    const double musicRms = std::sqrt(musicPower / static_cast<double>(2 * frames));

    std::vector<Effect> effects = PlanEffects(gaps, rng);
    std::vector<double> fx[2] = {std::vector<double>(frames, 0.0),
                                 std::vector<double>(frames, 0.0)};
    for (const Effect& e : effects) {
        if (e.burst) {
            AddBurst(fx, e, rng);
        } else {
            AddSwell(fx, e, speechRms, rng);
        }
    }

    std::ofstream truth(outDir + "/truth.txt");
    std::ofstream layout(outDir + "/layout.txt");
    layout << "# seconds " << seconds << ", speech RMS over its sentences "
           << 20.0 * std::log10(speechRms) << " dBFS, speech peak "
           << 20.0 * std::log10(SPEECH_PEAK) << " dBFS\n";
    for (const Placed& p : placed) {
        const uint64_t startMs = uint64_t{p.at} * 1000 / RATE;
        const uint64_t endMs = (uint64_t{p.at + p.length} * 1000 + RATE - 1) / RATE;
        truth << startMs << ' ' << endMs << '\n';
        layout << "sentence " << startMs << ' ' << endMs << ' ' << paths[p.sentence] << '\n';
    }
    for (const Effect& e : effects) {
        layout << (e.burst ? "burst " : "swell ") << uint64_t{e.at} * 1000 / RATE << ' '
               << uint64_t{e.at + e.length} * 1000 / RATE << '\n';
    }
    if (!truth || !layout) {
        std::fprintf(stderr, "make_speech_set: cannot write into %s\n", outDir.c_str());
        return 1;
    }

    for (const double ratio : RATIOS_DB) {
        const double musicGain = speechRms / std::pow(10.0, ratio / 20.0) / musicRms;
        for (const bool withFx : {false, true}) {
            std::vector<double> left(frames), right(frames);
            for (std::size_t i = 0; i < frames; ++i) {
                left[i] = speech[i] + musicGain * music.samples[2 * i] + (withFx ? fx[0][i] : 0.0);
                right[i] =
                    speech[i] + musicGain * music.samples[2 * i + 1] + (withFx ? fx[1][i] : 0.0);
            }
            const std::string name =
                "snr" + std::to_string(static_cast<int>(ratio)) + (withFx ? "fx" : "");
            std::size_t clipped = 0;
            if (!WriteStereo(outDir + "/" + name + ".wav", left, right, &clipped)) {
                std::fprintf(stderr, "make_speech_set: cannot write %s.wav\n", name.c_str());
                return 1;
            }
            layout << "variant " << name << " music gain " << 20.0 * std::log10(musicGain)
                   << " dB, clipped samples " << clipped << '\n';
        }
    }
    std::fprintf(stderr, "make_speech_set: %zu sentences, %zu effects, %.1f s of speech\n",
                 placed.size(), effects.size(), static_cast<double>(activeSamples) / RATE);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "midi" && argc == 4) {
        return WriteSong(argv[2], std::atof(argv[3]));
    }
    if (command == "mix" && argc == 6) {
        return Mix(argv[2], argv[3], std::atof(argv[4]), argv[5]);
    }
    std::fprintf(stderr, "usage: make_speech_set midi OUT.mid SECONDS\n"
                         "       make_speech_set mix LIST MUSIC.wav SECONDS OUTDIR\n");
    return 2;
}
