// kestrun-cli's command line: the options it declares, their checks, and what a parse comes
// to (the run's settings, or the text to print and the exit status). No file is touched
// beyond asking whether --out-dir is a folder.
#pragma once

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
};

// The exit status of a bad command line.
constexpr int EXIT_USAGE = 2;

// Never throws; the same argv always gives the same result while the file system does not
// change. cores is the default of --threads.
ParsedArgs ParseArgs(int argc, const char* const* argv, int cores);

} // namespace kestrun::cli
