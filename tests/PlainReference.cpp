// The plain reference implementation; see PlainReference.h.
#include "PlainReference.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace plain {
namespace {

uint32_t U32(const std::vector<unsigned char>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}
uint16_t U16(const std::vector<unsigned char>& b, std::size_t at) {
    return uint16_t(b[at] | (b[at + 1] << 8));
}
int16_t S16(const std::vector<unsigned char>& b, std::size_t at) {
    return int16_t(U16(b, at));
}

int32_t Add32(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) + uint32_t(b));
}
int32_t Sub32(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) - uint32_t(b));
}

} // namespace

Loaded LoadWav(const std::string& path) {
    Loaded l;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return l;
    }
    std::vector<unsigned char> b((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
    const uint32_t size = uint32_t(b.size());
    if (size <= 44) {
        return l;
    }
    const uint32_t riffSize = U32(b, 4);
    if (riffSize != size - 8) {
        return l;
    }
    if (U16(b, 20) != 1) {
        return l;
    }
    if (std::memcmp(&b[0], "RIFF", 4) != 0 || std::memcmp(&b[8], "WAVEfmt", 7) != 0) {
        return l;
    }
    const uint16_t channels = U16(b, 22);
    if (channels > 2 || channels == 0) {
        return l;
    }
    if (std::memcmp(&b[36], "data", 4) != 0) {
        return l;
    }
    const uint32_t rate = U32(b, 24);
    if (rate == 0) {
        return l;
    }
    const uint32_t dataSize = U32(b, 40);
    if (uint64_t(dataSize) > b.size() - 44) {
        return l;
    }
    l.rate = rate;
    l.channels = channels;
    l.frameLength = rate / 115 + 1;
    const uint32_t windowLength = l.frameLength * 3;
    l.sampleCount = channels == 1 ? dataSize / 2 : dataSize / 4;
    l.frameCount = l.sampleCount / l.frameLength;
    l.maxEnergy = 0;
    for (int c = 0; c < channels; ++c) {
        std::vector<int16_t> samples(l.sampleCount);
        for (uint32_t k = 0; k < l.sampleCount; ++k) {
            samples[k] = S16(b, 44 + std::size_t(k) * 2 * channels + 2 * c);
        }
        l.energy[c].resize(l.frameCount);
        for (uint32_t i = 0; i < l.frameCount; ++i) {
            double sum = 0;
            const uint64_t f = uint64_t(i) * l.frameLength;
            for (uint64_t k = f; k < f + windowLength; ++k) {
                const double s = k < l.sampleCount ? double(samples[k]) : 0.0;
                sum = sum + s * s;
            }
            l.energy[c][i] = sum;
            if (sum > l.maxEnergy) {
                l.maxEnergy = sum;
            }
        }
    }
    l.ok = true;
    return l;
}

std::vector<std::pair<int32_t, int32_t>> EnergyBased(const std::vector<double>& e, double m,
                                                     double t) {
    std::vector<std::pair<int32_t, int32_t>> out;
    const int32_t n = int32_t(e.size());
    for (int32_t j = 0; j < n; ++j) {
        if (!(e[j] / m >= t)) {
            continue;
        }
        double sum = 0, peak = 0, r = 0;
        int32_t i = j;
        for (;;) {
            r = e[i] / m;
            sum = sum + (r - t);
            if (r > peak) {
                peak = r;
            }
            i = i + 1;
            if (r < t || std::isnan(r)) {
                break;
            }
            if (i >= n) {
                break;
            }
        }
        const double rLast = e[i - 1] / m;
        const double score = ((sum - (rLast - t)) / double(i - j)) * (peak - t);
        if (score > 0.0001) {
            int32_t k = j;
            if (k > 1) {
                while (2 * e[k - 1] / m >= t) {
                    k = k - 1;
                    if (!(k > 1)) {
                        break;
                    }
                }
            }
            out.push_back({k, i});
            j = i;
        }
    }
    return out;
}

std::vector<double> BlockSums(const std::vector<double>& e, uint32_t w) {
    const std::size_t n = e.size();
    std::vector<double> b(n);
    if (n < w) {
        double all = 0;
        for (double x : e) {
            all = all + x;
        }
        for (double& x : b) {
            x = all;
        }
        return b;
    }
    double cur = 0;
    for (std::size_t i = 0; i < w; ++i) {
        cur = cur + e[i];
    }
    double acc = 0;
    uint32_t filled = 0;
    for (std::size_t j = 0; j + w < n; ++j) {
        if (filled < w) {
            acc = acc + e[j + w];
            filled = filled + 1;
        } else {
            cur = acc;
            acc = 0;
            filled = 0;
        }
        b[j] = cur;
    }
    for (std::size_t j = n - w; j < n; ++j) {
        b[j] = cur;
    }
    return b;
}

std::vector<std::pair<int32_t, int32_t>> EnergyGlitch(const std::vector<double>& e,
                                                      const std::vector<double>& b, double m,
                                                      double p, double t) {
    std::vector<std::pair<int32_t, int32_t>> out;
    const int32_t n = int32_t(e.size());
    for (int32_t j = 0; j < n; ++j) {
        if (e[j] / m >= p && e[j] / b[j] >= t) {
            int32_t i = j;
            for (;;) {
                const double r = e[i] / b[i];
                i = i + 1;
                if (r < t || std::isnan(r)) {
                    break;
                }
                if (i >= n) {
                    break;
                }
            }
            out.push_back({j, i});
            j = i;
        }
    }
    return out;
}

int32_t FrameToMs(const Loaded& l, int32_t frame) {
    const int64_t a = int64_t(frame) * int64_t(l.frameLength);
    const int64_t b = a * 1000;
    return int32_t(b / int64_t(l.rate));
}

void InsertSegment(std::list<Seg>& list, int32_t start, int32_t end) {
    auto it = list.end();
    while (it != list.begin()) {
        auto prev = std::prev(it);
        if (prev->start < start) {
            break;
        }
        it = prev;
    }
    list.insert(it, Seg{start, end});
}

void MergeGaps(std::list<Seg>& list, int32_t gap) {
    if (list.empty()) {
        return;
    }
    auto kept = list.begin();
    int32_t previousEnd = kept->end;
    for (auto it = std::next(list.begin()); it != list.end();) {
        if (Sub32(it->start, previousEnd) < gap) {
            kept->end = it->end;
            previousEnd = it->end;
            it = list.erase(it);
        } else {
            kept = it;
            previousEnd = it->end;
            ++it;
        }
    }
}

void FixOverlaps(std::list<Seg>& list) {
    Seg* prev = nullptr;
    int32_t prevEnd = 0;
    for (Seg& s : list) {
        if (prev != nullptr && prevEnd > s.start) {
            prev->end = s.start;
        }
        prev = &s;
        prevEnd = s.end;
    }
}

void ExtendEnds(std::list<Seg>& list, int32_t amount) {
    for (Seg& s : list) {
        s.end = Add32(s.end, amount);
    }
    FixOverlaps(list);
}

void ShiftAll(std::list<Seg>& list, int32_t offset) {
    for (Seg& s : list) {
        s.start = Add32(s.start, offset);
        s.end = Add32(s.end, offset);
        if (s.start < 0 && s.end > 0) {
            s.start = 0;
        }
    }
}

std::string FormatTime(int32_t v) {
    if (v < 0) {
        v = Sub32(0, v);
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d,%03d", v / 3600000, (v / 60000) % 60,
                  (v / 1000) % 60, v % 1000);
    return buf;
}

std::string SrtText(const std::list<Seg>& list) {
    std::string out;
    int n = 0;
    char buf[64];
    for (const Seg& s : list) {
        n = n + 1;
        std::snprintf(buf, sizeof buf, "%d\r\n", n);
        out += buf;
        out += FormatTime(s.start) + " --> " + FormatTime(s.end) + "\r\n";
        std::snprintf(buf, sizeof buf, "%d\r\n\r\n", n);
        out += buf;
    }
    return out;
}

namespace {

std::string Finish(std::list<Seg>& list) {
    MergeGaps(list, 300);
    ExtendEnds(list, 100);
    ShiftAll(list, -85);
    FixOverlaps(list);
    return SrtText(list);
}

} // namespace

std::string RunEnergyBased(const Loaded& l, double t) {
    std::list<Seg> list;
    for (int c = 0; c < l.channels; ++c) {
        for (auto [s, e] : EnergyBased(l.energy[c], l.maxEnergy, t)) {
            InsertSegment(list, FrameToMs(l, s), FrameToMs(l, e));
        }
    }
    return Finish(list);
}

std::string RunEnergyGlitch(const Loaded& l, double t, double p) {
    std::list<Seg> list;
    for (int c = 0; c < l.channels; ++c) {
        const std::vector<double> b = BlockSums(l.energy[c], l.frameLength);
        for (auto [s, e] : EnergyGlitch(l.energy[c], b, l.maxEnergy, p, t)) {
            InsertSegment(list, FrameToMs(l, s), FrameToMs(l, e));
        }
    }
    return Finish(list);
}

} // namespace plain
