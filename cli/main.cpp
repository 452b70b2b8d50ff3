// kestrun-cli: the headless front end. Runs a detector over each WAV given and writes
// its SRT; one line per SRT on standard output, one line per failure on standard error.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "Numbers.h"
#include "Path.h"
#include "Srt.h"
#include "VadEngine.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

// The message the window logs for a WAV the engine refused.
constexpr const char* BAD_FILE_MESSAGE = "Ошибка. (нет памяти или плохой файл)";

int UsageError(const std::string& message) {
    std::cerr << "kestrun-cli: " << message << "\nRun with --help for more information.\n";
    return EXIT_USAGE;
}

void FileError(const std::string& file, const std::string& message) {
    std::cerr << "kestrun-cli: " << file << ": " << message << '\n';
}

int PrintInfo(const std::string& file) {
    kestrun::CVadEngine engine;
    if (!engine.LoadWav(file)) {
        FileError(file, BAD_FILE_MESSAGE);
        return EXIT_FAILED;
    }
    std::cout << "Sample rate: " << engine.header().nSamplesPerSec << '\n'
              << "nChannels: " << engine.header().nChannels << '\n'
              << "Duration: " << kestrun::FormatTime(static_cast<int32_t>(engine.DurationMs()))
              << '\n';
    return EXIT_OK;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Finds the speech in 16-bit PCM WAV files and writes SRT timing files whose "
                 "cues carry their own number as text.",
                 "kestrun-cli"};
    std::vector<std::string> files;
    std::string detector = "energy";
    std::optional<std::string> thresholdText;
    std::string prefilterText = "0.005";
    std::optional<std::string> output;
    std::optional<std::string> outDir;
    std::optional<std::string> infoFile;

    app.add_option("FILE", files, "16-bit PCM WAV files, processed in the order given");
    app.add_option("-d,--detector", detector, "energy (default) or glitch")
        ->check(CLI::IsMember({"energy", "glitch"}));
    app.add_option("-t,--threshold", thresholdText,
                   "detection threshold, 0 to 1 (default 0.045 energy, 0.0015 glitch)");
    app.add_option("-p,--prefilter", prefilterText,
                   "energy prefilter of the glitch detector, 0 to 1 (default 0.005)");
    app.add_option("-o,--output", output, "SRT path (a single FILE only)");
    app.add_option("--out-dir", outDir, "folder for the SRT files (must exist)");
    app.add_option("--info", infoFile, "print sample rate, channels and duration of a WAV");
    app.set_version_flag("--version", std::string("kestrun-cli ") + KESTRUN_VERSION);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? EXIT_OK : EXIT_USAGE;
    }

    if (infoFile) {
        if (!files.empty()) {
            return UsageError("--info takes one FILE and no others");
        }
        return PrintInfo(*infoFile);
    }
    if (files.empty()) {
        return UsageError("no FILE given");
    }

    const bool glitch = detector == "glitch";
    double threshold =
        glitch ? kestrun::DEFAULT_GLITCH_THRESHOLD : kestrun::DEFAULT_ENERGY_THRESHOLD;
    double prefilter = kestrun::DEFAULT_GLITCH_PREFILTER;
    if (thresholdText && !kestrun::ParseThreshold(*thresholdText, &threshold)) {
        return UsageError("--threshold '" + *thresholdText + "': expected a number from 0 to 1");
    }
    if (!kestrun::ParseThreshold(prefilterText, &prefilter)) {
        return UsageError("--prefilter '" + prefilterText + "': expected a number from 0 to 1");
    }
    if (output && files.size() > 1) {
        return UsageError("--output takes a single FILE");
    }
    if (output && outDir) {
        return UsageError("--output and --out-dir exclude each other");
    }
    if (outDir) {
        std::error_code ec;
        if (!std::filesystem::is_directory(*outDir, ec)) {
            return UsageError("--out-dir '" + *outDir + "': no such folder");
        }
    }

    kestrun::CVadEngine engine;
    int status = EXIT_OK;
    for (const std::string& file : files) {
        std::string srtPath;
        if (output) {
            srtPath = *output;
        } else {
            const std::string folder = outDir ? *outDir : std::string(kestrun::PathFolder(file));
            srtPath = kestrun::OutputBase(folder, file) + ".srt";
        }
        if (!engine.LoadWav(file)) {
            FileError(file, BAD_FILE_MESSAGE);
            status = EXIT_FAILED;
            continue;
        }
        const kestrun::DetectionResult result =
            glitch ? engine.RunEnergyGlitch(threshold, prefilter, srtPath)
                   : engine.RunEnergyBased(threshold, srtPath);
        if (!result.written) {
            FileError(file, "cannot write SRT: " + result.error);
            status = EXIT_FAILED;
            continue;
        }
        std::cout << srtPath << ": " << result.cues << " cues" << std::endl;
    }
    return status;
}
