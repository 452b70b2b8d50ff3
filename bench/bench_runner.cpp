// The tool runner's own cost per job: lookup, start, wait and output check around a tool
// that exits at once, against a plain posix_spawn and waitpid of the same program.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "JobQueue.h"
#include "ResultCodes.h"
#include "Runners.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int RUNS = 20;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return (v[v.size() / 2] + v[(v.size() - 1) / 2]) / 2;
}

double PlainSpawnMs(const std::string& program) {
    const auto start = Clock::now();
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main() {
    const fs::path dir =
        fs::temp_directory_path() / ("kestrun-bench-runner-" + std::to_string(getpid()));
    fs::create_directories(dir);
    // A real program that exits at once under the decoder's name.
    const fs::path tool = dir / "flac.exe";
    fs::copy_file("/bin/true", tool, fs::copy_options::overwrite_existing);
    std::ofstream(dir / "talk.flac") << "x";

    kestrun::ChildProcess child;
    kestrun::ToolSettings settings;
    settings.toolFolders = {dir.string()};
    kestrun::RunnerContext context{child, settings};

    std::vector<double> runner;
    std::vector<double> plain;
    for (int i = 0; i < RUNS; ++i) {
        kestrun::JobInfo job = *kestrun::MakeJobInfo((dir / "talk.flac").string(), {});
        const auto start = Clock::now();
        const int32_t code = kestrun::RunDecoder(kestrun::Decoder::Flac, job, context);
        runner.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (code != kestrun::RESULT_DECODE_FAILED) { // no WAV: the output check must say so
            std::fprintf(stderr, "bench_runner: unexpected result %d\n", code);
            return 1;
        }
        plain.push_back(PlainSpawnMs(tool.string()));
    }
    fs::remove_all(dir);

    const double r = Median(runner);
    const double p = Median(plain);
    std::printf("runner: a tool that exits at once, per job (median of %d): runner %.2f ms, "
                "plain spawn+wait %.2f ms -> %.2fx plain (target < 5 ms)\n",
                RUNS, r, p, r / p);
    return 0;
}
