// kestrun-cli: the headless front end. Runs each FILE (or each file of a FILE folder) through
// the same job queue and worker as the window (decoder, mono conversion, normalisation,
// load), then a detector, and writes its SRT; one line per SRT on standard output, one line
// per failure on standard error, in the order of the files whatever -j does. Ctrl-C stops
// the running tools (or the speech model), deletes their partial WAVs and exits with 130.
#include <atomic>
#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Args.h"
#include "Batch.h"
#include "FileList.h"
#include "Guardian.h"
#include "JobQueue.h"
#include "Process.h"
#include "Runners.h"
#include "StopRequest.h"
#include "Text.h"

namespace {

using kestrun::cli::Detector;
using kestrun::cli::EventQueue;

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_SIGNAL_BASE = 128;
// From a stop request to the latest end of the program, whatever its threads are doing:
// with the tools' grace after it, still within a second.
constexpr auto STOP_DEADLINE = std::chrono::milliseconds(650);
using kestrun::cli::EXIT_USAGE;

int UsageError(const std::string& message) {
    std::cerr << kestrun::cli::UsageText(message);
    return EXIT_USAGE;
}

// Raised by Ctrl-C, so a speech model run in progress stops between two batches and no
// further file starts.
std::atomic<bool> g_stopRequested{false};
// Raised by whoever writes that the run was interrupted (StopChannel).
std::atomic<bool> g_interruptReported{false};

// Whether a file found in a folder is one the worker would take. After Ctrl-C the probe
// refuses to start, so no file is taken any more.
bool Accepts(const std::string& path, kestrun::ChildProcess& probe,
             const kestrun::ToolSettings& tools) {
    kestrun::RunnerContext context{probe, tools};
    return kestrun::DecoderForJob(*kestrun::MakeJobInfo(path, {}), context).has_value();
}

} // namespace

int main(int argc, char** argv) {
    // Before the parser is declared: its help is written in the language chosen.
    kestrun::SetLang(kestrun::ChooseLang(kestrun::cli::LangArgument(argc, argv)));
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    kestrun::cli::ParsedArgs parsed = kestrun::cli::ParseArgs(argc, argv, cores);
    if (parsed.outcome != kestrun::cli::ParsedArgs::Outcome::Run) {
        (parsed.outcome == kestrun::cli::ParsedArgs::Outcome::Exit ? std::cout : std::cerr)
            << parsed.text << std::flush;
        return parsed.status;
    }
    std::vector<std::string>& files = parsed.options.files;
    const kestrun::cli::Settings& settings = parsed.options.settings;
    const kestrun::JobOptions& options = parsed.options.job;
    const kestrun::ToolSettings& toolSettings = parsed.options.tools;
    const bool recursive = parsed.options.recursive;
    const std::optional<std::string>& output = settings.output;
    const kestrun::cli::Shard& shard = parsed.options.shard;

    // Ctrl-C becomes an event like a result, and the exit path runs on this thread. The
    // queue and the probe's record are never destroyed: the thread that watches for signals
    // outlives main.
    static EventQueue* const eventQueue = new EventQueue;
    static kestrun::ChildProcess* const probe = new kestrun::ChildProcess;
    // Before any thread: from here on no tool and no working file outlives the program,
    // even one killed with SIGKILL.
    kestrun::StartGuardian();
    kestrun::WatchStopRequests([](int signal) {
        static std::atomic<bool> stopping{false};
        g_stopRequested.store(true);
        eventQueue->Push({0, nullptr, signal});
        probe->Terminate(); // a folder's file being probed
        if (stopping.exchange(true)) {
            return;
        }
        // The exit path normally ends the program well before this; should the main thread
        // itself be stuck in a call that blocks, the program ends here all the same.
        std::this_thread::sleep_for(STOP_DEADLINE);
        kestrun::ExitNow(EXIT_SIGNAL_BASE + signal, kestrun::STOP_GRACE_MS,
                         g_interruptReported.exchange(true) ? "" : kestrun::cli::InterruptedLine());
    });

    bool unreadable = false;
    if (!settings.info) {
        files = kestrun::cli::ExpandArguments(
            files, recursive,
            [&toolSettings](const std::string& path) {
                return Accepts(path, *probe, toolSettings);
            },
            [&unreadable](const std::string& folder, const std::string& reason) {
                std::cerr << "kestrun-cli: "
                          << kestrun::Fill(kestrun::Tr("%1: не удалось прочитать папку: %2"),
                                           {folder, reason})
                          << '\n';
                unreadable = true;
            });
        if (output && files.size() > 1) {
            return UsageError(kestrun::Tr("--output допускает только один FILE"));
        }
        files = kestrun::cli::TakeShard(files, shard);
    }
    const int status = kestrun::cli::RunBatch(files, settings, options, toolSettings,
                                              {*eventQueue, g_stopRequested, g_interruptReported});
    return status == EXIT_OK && unreadable ? EXIT_FAILED : status;
}
