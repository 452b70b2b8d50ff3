// kestrun-cli's command line: the options it declares, their checks, and what a parse comes
// to (the run's settings, or the text to print and the exit status). No file is touched
// beyond asking whether --out-dir is a folder.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Batch.h"
#include "FileList.h"
#include "JobInfo.h"
#include "JobQueue.h"

namespace kestrun::cli {

// Everything a run takes from the command line.
struct Options {
    std::vector<std::string> files;
    Settings settings;
    JobOptions job;
    ToolSettings tools;
    bool recursive = false;
    Shard shard;

    bool operator==(const Options&) const = default;
};

struct ParsedArgs {
    enum class Outcome {
        Run,   // options holds the run
        Exit,  // --help or --version: print text on standard output, exit with status
        Usage, // bad usage: print text on standard error, exit with status
    };
    Outcome outcome = Outcome::Usage;
    int status = 0;
    std::string text;
    Options options;

    bool operator==(const ParsedArgs&) const = default;
};

// The exit status of a bad command line.
constexpr int EXIT_USAGE = 2;

// The command line's parser, declared once and used for any number of parses; each parse
// starts afresh, whatever came before. cores is the default of --threads.
class ArgParser {
public:
    explicit ArgParser(int cores);
    ~ArgParser();
    ArgParser(const ArgParser&) = delete;
    ArgParser& operator=(const ArgParser&) = delete;

    // Never throws; the same argv always gives the same result while the file system does
    // not change.
    ParsedArgs Parse(int argc, const char* const* argv);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One parse with a parser of its own.
ParsedArgs ParseArgs(int argc, const char* const* argv, int cores);

// The value of the last --lang (or --lang=X) before a "--", empty when there is none. Read
// before the parser is declared, whose help is written in the language chosen.
std::string LangArgument(int argc, const char* const* argv);

// A usage error as kestrun-cli writes it: the message, then where to read more.
std::string UsageText(const std::string& message);

} // namespace kestrun::cli
