// kestrun-cli's command line: any argv parses without an exception, gives the same result
// twice from one parser whatever it parsed before, and an accepted one stays within the
// documented ranges.
#include <string>
#include <vector>

#include "Args.h"
#include "FuzzUtil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // The input is the arguments after the program's name, separated by NUL bytes.
    std::vector<std::string> args{"kestrun-cli"};
    std::string current;
    for (std::size_t i = 0; i < size && args.size() < 64; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (args.size() < 64 && !current.empty()) {
        args.push_back(current);
    }
    std::vector<const char*> argv;
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());

    // One parser for the whole run, as the program's parser would be for many parses: the
    // first parse below follows whatever the last input left behind, the second this one.
    static kestrun::cli::ArgParser parser(4);
    using kestrun::cli::ParsedArgs;
    const ParsedArgs first = parser.Parse(argc, argv.data());
    const ParsedArgs second = parser.Parse(argc, argv.data());
    FUZZ_CHECK(first == second);

    if (first.outcome == ParsedArgs::Outcome::Usage) {
        FUZZ_CHECK(first.status == kestrun::cli::EXIT_USAGE && !first.text.empty());
        return 0;
    }
    if (first.outcome == ParsedArgs::Outcome::Exit) {
        FUZZ_CHECK(first.status == 0 && !first.text.empty());
        return 0;
    }
    FUZZ_CHECK(first.status == 0 && first.text.empty());
    const kestrun::cli::Options& o = first.options;
    const kestrun::cli::Settings& s = o.settings;
    FUZZ_CHECK(!o.files.empty());
    FUZZ_CHECK(s.threshold >= 0.0 && s.threshold <= 1.0);
    FUZZ_CHECK(s.prefilter >= 0.0 && s.prefilter <= 1.0);
    FUZZ_CHECK(s.threads >= 1 && s.threads <= 256);
    FUZZ_CHECK(s.lanes >= 1 && s.lanes <= 256);
    FUZZ_CHECK(s.audioStream >= 0);
    FUZZ_CHECK(o.job.normIndex >= 0 && o.job.normIndex <= 5);
    FUZZ_CHECK(o.job.gainDb >= -12 && o.job.gainDb <= 12);
    FUZZ_CHECK(o.tools.azidGain.size() <= 5);
    FUZZ_CHECK(o.shard.index < o.shard.count);
    FUZZ_CHECK(!s.output || o.files.size() == 1);
    FUZZ_CHECK(!s.output || o.job.useSrcPath);
    FUZZ_CHECK(o.job.useSrcPath == o.job.outputFolder.empty());
    FUZZ_CHECK(!s.info || o.files.size() == 1);
    FUZZ_CHECK(s.toolFolders == o.tools.toolFolders);
    return 0;
}
