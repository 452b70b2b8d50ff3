// speech_score: how well one detector's SRT matches the speech set's truth.
//   speech_score --header                  the column titles
//   speech_score TRUTH SRT WAV LABEL       one table row for LABEL
// TRUTH holds one "START_MS END_MS" line per sentence; WAV gives the duration. Every
// detector writes a cue from 85 ms before a speech run to 15 ms after it, so the run is
// taken back as [cue start + 85, cue end - 15]. Truth runs closer than 300 ms are merged,
// as the cues' runs are. Figures: F1 (with precision and recall) of speech time in 10 ms
// steps; far false alarms, detected speech more than 500 ms from any true speech, in
// seconds and as a share of the non-speech time; and for each true run's start and end
// the error of the nearest detected start (end) within 1 s: median and mean of its size,
// its mean with sign (detected minus true), and the count of edges that have none.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "SegmentList.h"
#include "WavHeader.h"

namespace {

constexpr int64_t CUE_LEAD_MS = 85;
constexpr int64_t CUE_TAIL_MS = 15;
constexpr int64_t STEP_MS = 10;
constexpr int64_t FAR_MS = 500;
constexpr int64_t EDGE_REACH_MS = 1000;

struct Span {
    int64_t start;
    int64_t end;
};

bool Fail(const std::string& what) {
    std::fprintf(stderr, "speech_score: %s\n", what.c_str());
    return false;
}

bool ReadTruth(const std::string& path, std::vector<Span>* out) {
    std::ifstream in(path);
    if (!in) {
        return Fail("cannot read " + path);
    }
    int64_t start = 0;
    int64_t end = 0;
    while (in >> start >> end) {
        if (end <= start || (!out->empty() && start < out->back().end)) {
            return Fail(path + ": truth spans must be ordered and non-empty");
        }
        out->push_back({start, end});
    }
    if (!in.eof()) {
        return Fail(path + ": not a list of START_MS END_MS lines");
    }
    return true;
}

// "HH:MM:SS,mmm" (hours may run past 99) to milliseconds, or -1.
int64_t ParseTime(const std::string& s) {
    unsigned long long h = 0, m = 0, sec = 0, ms = 0;
    char tail = 0;
    if (std::sscanf(s.c_str(), "%llu:%2llu:%2llu,%3llu%c", &h, &m, &sec, &ms, &tail) != 4 ||
        m > 59 || sec > 59 || s.size() < 12 || s[s.size() - 4] != ',') {
        return -1;
    }
    return static_cast<int64_t>(((h * 60 + m) * 60 + sec) * 1000 + ms);
}

// The cues of an SRT in the project's layout, checked strictly: a writer that breaks the
// layout is a fault worth a failed score, not a silently skipped cue.
bool ReadCues(const std::string& path, std::vector<Span>* out, std::size_t* count) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return Fail("cannot read " + path);
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line.back() != '\r') {
            return Fail(path + ": line " + std::to_string(lines.size() + 1) +
                        " does not end in CRLF");
        }
        line.pop_back();
        lines.push_back(line);
    }
    if (lines.size() % 4 != 0) {
        return Fail(path + ": not a whole number of four-line cues");
    }
    int64_t lastEnd = 0;
    for (std::size_t i = 0; i < lines.size(); i += 4) {
        const std::string number = std::to_string(i / 4 + 1);
        const std::string& timing = lines[i + 1];
        const std::size_t arrow = timing.find(" --> ");
        const int64_t start = arrow == std::string::npos ? -1 : ParseTime(timing.substr(0, arrow));
        const int64_t end = arrow == std::string::npos ? -1 : ParseTime(timing.substr(arrow + 5));
        if (lines[i] != number || lines[i + 2] != number || !lines[i + 3].empty() || start < 0 ||
            end < start) {
            return Fail(path + ": cue " + number + " is malformed");
        }
        if (start < lastEnd) {
            return Fail(path + ": cue " + number + " overlaps the one before");
        }
        lastEnd = end;
        // A cue cut short by the overlap fix can come out empty: it holds no speech then.
        if (end - CUE_TAIL_MS > start + CUE_LEAD_MS) {
            out->push_back({start + CUE_LEAD_MS, end - CUE_TAIL_MS});
        }
    }
    *count = lines.size() / 4;
    return true;
}

std::vector<Span> MergeGaps(const std::vector<Span>& spans, int64_t gap) {
    std::vector<Span> out;
    for (const Span& s : spans) {
        if (!out.empty() && s.start - out.back().end < gap) {
            out.back().end = std::max(out.back().end, s.end);
        } else {
            out.push_back(s);
        }
    }
    return out;
}

// Which STEP_MS steps of [0, durationMs) have their centre inside a span.
std::vector<bool> Steps(const std::vector<Span>& spans, int64_t durationMs) {
    std::vector<bool> on(static_cast<std::size_t>((durationMs + STEP_MS - 1) / STEP_MS), false);
    for (const Span& s : spans) {
        for (int64_t k = std::max<int64_t>(0, (s.start - STEP_MS / 2 + STEP_MS - 1) / STEP_MS);
             k < static_cast<int64_t>(on.size()) && k * STEP_MS + STEP_MS / 2 < s.end; ++k) {
            on[static_cast<std::size_t>(k)] = true;
        }
    }
    return on;
}

int64_t Distance(const std::vector<Span>& spans, int64_t t) {
    int64_t best = INT64_MAX;
    for (const Span& s : spans) {
        best = std::min(best, std::max<int64_t>({s.start - t, t - s.end, 0}));
    }
    return best;
}

struct EdgeStats {
    double median = 0.0;
    double mean = 0.0;
    double bias = 0.0; // mean signed error: detected minus true
    int missed = 0;
    int total = 0;
};

// For each true edge, the distance to the nearest detected edge of the same kind.
EdgeStats Edges(const std::vector<int64_t>& truth, const std::vector<int64_t>& found) {
    EdgeStats st;
    std::vector<int64_t> errors;
    double signedSum = 0.0;
    for (const int64_t t : truth) {
        int64_t best = INT64_MAX;
        int64_t nearest = 0;
        for (const int64_t f : found) {
            if ((f > t ? f - t : t - f) < best) {
                best = f > t ? f - t : t - f;
                nearest = f;
            }
        }
        if (best <= EDGE_REACH_MS) {
            errors.push_back(best);
            signedSum += static_cast<double>(nearest - t);
        } else {
            ++st.missed;
        }
    }
    st.total = static_cast<int>(truth.size());
    if (!errors.empty()) {
        std::sort(errors.begin(), errors.end());
        const std::size_t n = errors.size();
        st.median = n % 2 == 1 ? static_cast<double>(errors[n / 2])
                               : (errors[n / 2 - 1] + errors[n / 2]) / 2.0;
        double sum = 0.0;
        for (const int64_t e : errors) {
            sum += static_cast<double>(e);
        }
        st.mean = sum / static_cast<double>(n);
        st.bias = signedSum / static_cast<double>(n);
    }
    return st;
}

bool DurationMs(const std::string& wav, int64_t* ms) {
    std::ifstream in(wav, std::ios::binary);
    uint8_t bytes[kestrun::WAV_HEADER_BYTES];
    if (!in.read(reinterpret_cast<char*>(bytes), sizeof bytes)) {
        return Fail("cannot read " + wav);
    }
    const kestrun::WavHeader h = kestrun::ParseWavHeader(bytes);
    if (h.nBlockAlign == 0 || h.nSamplesPerSec == 0) {
        return Fail(wav + ": not a canonical WAV");
    }
    *ms = static_cast<int64_t>(uint64_t{h.dataSize} / h.nBlockAlign * 1000 / h.nSamplesPerSec);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--header") {
        std::printf("  %-23s %4s %5s %5s %5s | %-13s | %-22s | %s\n", "", "", "", "", "",
                    "far false", "start error ms", "end error ms");
        std::printf("  %-23s %4s %5s %5s %5s | %6s %6s | %4s %5s %5s %5s | %4s %5s %5s %5s\n",
                    "detector", "cues", "F1", "prec", "rec", "s", "%", "med", "mean", "bias",
                    "none", "med", "mean", "bias", "none");
        return 0;
    }
    if (argc != 5) {
        std::fprintf(stderr, "usage: speech_score TRUTH SRT WAV LABEL | speech_score --header\n");
        return 2;
    }
    std::vector<Span> truth;
    std::vector<Span> cues;
    std::size_t cueCount = 0;
    int64_t duration = 0;
    if (!ReadTruth(argv[1], &truth) || !ReadCues(argv[2], &cues, &cueCount) ||
        !DurationMs(argv[3], &duration)) {
        return 1;
    }
    truth = MergeGaps(truth, kestrun::MERGE_GAP_MS);

    const std::vector<bool> t = Steps(truth, duration);
    const std::vector<bool> d = Steps(cues, duration);
    int64_t tp = 0, fp = 0, fn = 0, far = 0, quiet = 0;
    for (std::size_t k = 0; k < t.size(); ++k) {
        tp += t[k] && d[k];
        fp += !t[k] && d[k];
        fn += t[k] && !d[k];
        quiet += !t[k];
        far += d[k] && Distance(truth, static_cast<int64_t>(k) * STEP_MS + STEP_MS / 2) > FAR_MS;
    }
    const double precision =
        tp + fp > 0 ? static_cast<double>(tp) / static_cast<double>(tp + fp) : 0.0;
    const double recall =
        tp + fn > 0 ? static_cast<double>(tp) / static_cast<double>(tp + fn) : 0.0;
    const double f1 = precision + recall > 0 ? 2 * precision * recall / (precision + recall) : 0.0;

    std::vector<int64_t> trueStarts, trueEnds, foundStarts, foundEnds;
    for (const Span& s : truth) {
        trueStarts.push_back(s.start);
        trueEnds.push_back(s.end);
    }
    for (const Span& s : cues) {
        foundStarts.push_back(s.start);
        foundEnds.push_back(s.end);
    }
    const EdgeStats starts = Edges(trueStarts, foundStarts);
    const EdgeStats ends = Edges(trueEnds, foundEnds);

    const double farSeconds = static_cast<double>(far * STEP_MS) / 1000.0;
    const double farShare =
        quiet > 0 ? 100.0 * static_cast<double>(far) / static_cast<double>(quiet) : 0.0;
    std::printf("  %-23s %4zu %5.3f %5.3f %5.3f | %6.1f %5.1f%% | %4.0f %5.0f %+5.0f %2d/%-2d | "
                "%4.0f %5.0f %+5.0f %2d/%-2d\n",
                argv[4], cueCount, f1, precision, recall, farSeconds, farShare, starts.median,
                starts.mean, starts.bias, starts.missed, starts.total, ends.median, ends.mean,
                ends.bias, ends.missed, ends.total);
    return 0;
}
