// SRT formatting, the other cue formats, and the temp-file-and-rename write, or the
// program's own way of it.
#include "Srt.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <random>

namespace kestrun {
namespace {

std::atomic<FileReplacer> fileReplacer{nullptr};

// Each format's command-line name and file extension, in CueFormat's order.
struct CueFormatNames {
    std::string_view name;
    std::string_view extension;
};
constexpr CueFormatNames CUE_FORMATS[] = {
    {"srt", ".srt"}, {"vtt", ".vtt"}, {"labels", ".txt"}, {"csv", ".csv"}};

// mark: ',' in SRT, '.' in WebVTT.
void AppendTime(std::string& out, int32_t value, char mark = ',') {
    // Negative times print as their magnitude; the negation wraps like 32-bit hardware,
    // so even INT32_MIN formats without undefined behaviour.
    if (value < 0) {
        value = WrapSub(0, value);
    }
    char buf[48];
    const int n = std::snprintf(buf, sizeof buf, "%02d:%02d:%02d%c%03d", value / 3600000,
                                (value / 60000) % 60, (value / 1000) % 60, mark, value % 1000);
    out.append(buf, static_cast<std::size_t>(n));
}

// Milliseconds as seconds with exactly `decimals` (3 or 6) digits after the point:
// 548 -> "0.548" or "0.548000", -35 -> "-0.035".
void AppendSeconds(std::string& out, int32_t ms, int decimals) {
    const int64_t v = ms;
    const int64_t magnitude = v < 0 ? -v : v;
    char buf[48];
    const int n =
        std::snprintf(buf, sizeof buf, "%s%lld.%03lld%s", v < 0 ? "-" : "",
                      static_cast<long long>(magnitude / 1000),
                      static_cast<long long>(magnitude % 1000), decimals == 6 ? "000" : "");
    out.append(buf, static_cast<std::size_t>(n));
}

void AppendNumber(std::string& out, uint64_t n) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, r.ptr);
}

} // namespace

std::string FormatTime(int32_t ms) {
    std::string out;
    AppendTime(out, ms);
    return out;
}

std::string FormatTimeRange(int32_t start, int32_t end) {
    std::string out;
    AppendTime(out, start);
    out += " --> ";
    AppendTime(out, end);
    out += "\r\n";
    return out;
}

std::string BuildSrt(std::span<const Segment> segments) {
    std::string out;
    out.reserve(segments.size() * 48);
    uint64_t n = 0;
    for (const Segment& s : segments) {
        ++n;
        AppendNumber(out, n);
        out += "\r\n";
        AppendTime(out, s.start);
        out += " --> ";
        AppendTime(out, s.end);
        out += "\r\n";
        AppendNumber(out, n);
        out += "\r\n\r\n";
    }
    return out;
}

bool ParseCueFormat(std::string_view name, CueFormat* format) {
    for (std::size_t i = 0; i < std::size(CUE_FORMATS); ++i) {
        if (name == CUE_FORMATS[i].name) {
            *format = static_cast<CueFormat>(i);
            return true;
        }
    }
    return false;
}

std::string_view CueFormatName(CueFormat format) {
    return CUE_FORMATS[static_cast<std::size_t>(format)].name;
}

std::string_view CueFormatExtension(CueFormat format) {
    return CUE_FORMATS[static_cast<std::size_t>(format)].extension;
}

std::string BuildCues(CueFormat format, std::span<const Segment> segments) {
    std::string out;
    uint64_t n = 0;
    switch (format) {
    case CueFormat::Srt:
        return BuildSrt(segments);
    case CueFormat::WebVtt:
        out.reserve(8 + segments.size() * 44);
        out += "WEBVTT\n\n";
        for (const Segment& s : segments) {
            ++n;
            AppendNumber(out, n);
            out += '\n';
            AppendTime(out, s.start, '.');
            out += " --> ";
            AppendTime(out, s.end, '.');
            out += '\n';
            AppendNumber(out, n);
            out += "\n\n";
        }
        break;
    case CueFormat::Labels:
        out.reserve(segments.size() * 24);
        for (const Segment& s : segments) {
            AppendSeconds(out, s.start, 6);
            out += '\t';
            AppendSeconds(out, s.end, 6);
            out += '\t';
            AppendNumber(out, ++n);
            out += '\n';
        }
        break;
    case CueFormat::Csv:
        out.reserve(10 + segments.size() * 16);
        out += "start,end\n";
        for (const Segment& s : segments) {
            AppendSeconds(out, s.start, 3);
            out += ',';
            AppendSeconds(out, s.end, 3);
            out += '\n';
        }
        break;
    }
    return out;
}

void SetFileReplacer(FileReplacer replacer) {
    fileReplacer.store(replacer);
}

bool WriteFileReplacing(const std::string& path, std::string_view data, std::string* error) {
    if (const FileReplacer replacer = fileReplacer.load()) {
        return replacer(path, data, error);
    }
    namespace fs = std::filesystem;
    static thread_local std::mt19937_64 rng{std::random_device{}()};

    // A short name in the SRT's own folder: the rename stays on one file system, and a
    // long SRT name never pushes the temporary name past the file-name limit.
    const fs::path folder = fs::path(path).parent_path();
    std::string tmp;
    std::FILE* f = nullptr;
    for (int attempt = 0; attempt < 16 && f == nullptr; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, ".kestrun-%08llx.tmp",
                      static_cast<unsigned long long>(rng() & 0xffffffffu));
        tmp = (folder / name).string();
        errno = 0;
        f = std::fopen(tmp.c_str(), "wbx"); // exclusive: never reuse someone else's file
        if (f == nullptr && errno != EEXIST) {
            break;
        }
    }
    if (f == nullptr) {
        *error = std::strerror(errno != 0 ? errno : EIO);
        return false;
    }

    bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    int writeErrno = ok ? 0 : errno;
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        writeErrno = errno;
    }
    if (!ok) {
        std::error_code ignored;
        fs::remove(tmp, ignored);
        *error = std::strerror(writeErrno != 0 ? writeErrno : EIO);
        return false;
    }

    std::error_code ec;
    fs::rename(tmp, path, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(tmp, ignored);
        *error = ec.message();
        return false;
    }
    return true;
}

} // namespace kestrun
