// The progress line and the in-order writing of each file's lines.
#include "Output.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace kestrun::cli {
namespace {

// "\r" back to the start of the line, ESC [ K clear from there to its end.
constexpr std::string_view CLEAR_LINE = "\r\x1b[K";

//  72 s -> "00:01:12"
std::string Clock(std::chrono::steady_clock::duration elapsed) {
    const long long s = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

// Columns of the terminal, or 0 when it does not say.
std::size_t TerminalColumns() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

bool IsUtf8Continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The text cut to fit `columns` columns, one column per character, never through the middle
// of a UTF-8 sequence. A line longer than the terminal would wrap, and "\r" would then
// return to its last row only, leaving the rest behind on every redraw.
std::string FitColumns(std::string text, std::size_t columns) {
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IsUtf8Continuation(text[i])) {
            continue;
        }
        if (++used > columns) {
            text.resize(i);
            break;
        }
    }
    return text;
}

} // namespace

ProgressLine::ProgressLine(bool active)
    : active_(active), start_(std::chrono::steady_clock::now()) {}

void ProgressLine::Show(std::size_t done, std::size_t total, std::string_view name) {
    if (!active_) {
        return;
    }
    std::string text = "[";
    text += std::to_string(done);
    text += '/';
    text += std::to_string(total);
    text += "] ";
    text += Clock(std::chrono::steady_clock::now() - start_);
    text += ' ';
    // A control character in a file name would move the cursor away from the line.
    for (const char c : name) {
        text += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    }
    const std::size_t columns = TerminalColumns();
    if (columns > 1) {
        text = FitColumns(std::move(text), columns - 1); // the last column would wrap
    }
    if (shown_ && text == text_) {
        return;
    }
    text_ = std::move(text);
    shown_ = true;
    std::cerr << CLEAR_LINE << text_ << std::flush;
}

void ProgressLine::Clear() {
    if (!shown_) {
        return;
    }
    shown_ = false;
    std::cerr << CLEAR_LINE << std::flush;
}

OrderedOutput::OrderedOutput(std::size_t files, ProgressLine& progress)
    : progress_(progress), files_(files) {}

void OrderedOutput::Out(std::size_t file, std::string text) {
    files_[file].lines.push_back({false, std::move(text)});
}

void OrderedOutput::Err(std::size_t file, std::string text) {
    files_[file].lines.push_back({true, std::move(text)});
}

void OrderedOutput::Finish(std::size_t file) {
    if (!files_[file].finished) {
        files_[file].finished = true;
        ++finished_;
    }
    while (next_ < files_.size() && files_[next_].finished) {
        Write(files_[next_].lines);
        files_[next_].lines = {};
        ++next_;
    }
}

void OrderedOutput::FlushFinished() {
    for (; next_ < files_.size(); ++next_) {
        if (files_[next_].finished) {
            Write(files_[next_].lines);
            files_[next_].lines = {};
        }
    }
}

void OrderedOutput::ErrNow(const std::string& text) {
    Write({{true, text}});
}

void OrderedOutput::Write(const std::vector<Line>& lines) {
    if (lines.empty()) {
        return;
    }
    progress_.Clear();
    for (const Line& line : lines) {
        if (line.toStderr) {
            std::cerr << line.text;
        } else {
            // Flushed line by line, so that the two streams interleave as they did when
            // each line was written the moment it was known.
            std::cout << line.text << std::flush;
        }
    }
}

} // namespace kestrun::cli
