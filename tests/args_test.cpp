// kestrun-cli's command-line parser used for many parses: each parse must come out as a
// parser of its own would give it, whatever the parses before it set.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Args.h"

namespace {

using kestrun::cli::ArgParser;
using kestrun::cli::ParseArgs;
using kestrun::cli::ParsedArgs;

ParsedArgs Parse(ArgParser* parser, std::vector<const char*> args) {
    args.insert(args.begin(), "kestrun-cli");
    return parser == nullptr ? ParseArgs(int(args.size()), args.data(), 3)
                             : parser->Parse(int(args.size()), args.data());
}

TEST(ArgParser, EachParseStartsAfresh) {
    // Every option set by one line and left out of the next.
    const std::vector<std::vector<const char*>> lines = {
        {"-d",     "glitch",      "-t",  "0.3",        "-p",     "0.2",
         "--mono", "--norm",      "3",   "--gain",     "-4",     "--threads",
         "7",      "--azid-gain", "+2",  "--tool-dir", "/opt/a", "--tool-dir",
         "/opt/b", "--stream",    "2",   "--no-wav",   "-j",     "4",
         "-r",     "--shard",     "1/3", "a.wav",      "b.mp3"},
        {"x.flac"},
        {"-o", "out.srt", "one.wav"},
        {"--info", "i.wav"},
        {"--out-dir", "/", "-d", "speech", "y.wav"},
        {"--norm", "9", "z.wav"},
        {"--help"},
        {"--version"},
        {"--shard", "3/3", "z.wav"},
        {},
        {"-t", "0.5", "--bogus"},
        {"last.wav"},
    };
    ArgParser parser(3);
    for (int round = 0; round < 2; ++round) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            // Backwards on the second round: each line follows another one than before.
            const auto& line = lines[round == 0 ? i : lines.size() - 1 - i];
            const ParsedArgs fresh = Parse(nullptr, line);
            const ParsedArgs reused = Parse(&parser, line);
            EXPECT_TRUE(reused == fresh)
                << "line " << i << " round " << round << ": " << reused.text << " / " << fresh.text;
        }
    }
    const ParsedArgs defaults = Parse(&parser, {"d.wav"});
    EXPECT_EQ(defaults.outcome, ParsedArgs::Outcome::Run);
    EXPECT_EQ(defaults.options.settings.threads, 3);
    EXPECT_EQ(defaults.options.settings.lanes, 1);
    EXPECT_FALSE(defaults.options.job.makeMono);
    EXPECT_TRUE(defaults.options.settings.toolFolders.empty());
    EXPECT_EQ(defaults.options.files, std::vector<std::string>{"d.wav"});
}

} // namespace
