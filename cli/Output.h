// What kestrun-cli writes: each file's lines in the order of the file list, however the
// files overtake each other, and on a terminal a progress line that keeps out of their way.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun::cli {

// "[3/120] 00:01:12 talk.mkv" on standard error, redrawn in place. Does nothing unless
// active (standard error is a terminal).
class ProgressLine {
public:
    explicit ProgressLine(bool active);

    // Draws the line if its text changed; the time is counted from construction.
    void Show(std::size_t done, std::size_t total, std::string_view name);

    // Takes the line off the terminal, so that another line can be written there.
    void Clear();

    bool active() const { return active_; }

private:
    bool active_;
    bool shown_ = false;
    std::string text_; // as drawn
    std::chrono::steady_clock::time_point start_;
};

class OrderedOutput {
public:
    OrderedOutput(std::size_t files, ProgressLine& progress);

    // A line (with its '\n') of file's standard output or standard error, held until the
    // file is finished and every earlier file has been written.
    void Out(std::size_t file, std::string text);
    void Err(std::size_t file, std::string text);

    // file has no more lines: they are written as soon as the files before it are.
    void Finish(std::size_t file);

    // At an interrupt: the lines of every finished file in list order, passing over the
    // files that did not finish.
    void FlushFinished();

    // A line that belongs to no file, written at once.
    void ErrNow(const std::string& text);

    std::size_t finishedFiles() const { return finished_; }

private:
    struct Line {
        bool toStderr = false;
        std::string text;
    };
    struct FileLines {
        std::vector<Line> lines;
        bool finished = false;
    };
    void Write(const std::vector<Line>& lines);

    ProgressLine& progress_;
    std::vector<FileLines> files_;
    std::size_t next_ = 0;     // the first file whose lines are not written yet
    std::size_t finished_ = 0; // files finished, written or not
};

} // namespace kestrun::cli
