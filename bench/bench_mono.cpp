// bench_mono [FOLDER]: ConvertToMono over a one-hour 44.1 kHz stereo WAV, timed against
// /bin/cp of the same file, both from a synced page cache, alternating, median of five.
// The WAV and its copies live in FOLDER (default: a temporary folder beside this program)
// and are removed at the end.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "File.h"
#include "Mono.h"
#include "WavHeader.h"

namespace {

constexpr int REPEATS = 5;
constexpr double TARGET_RATIO = 2.0;
constexpr uint32_t RATE = 44100;
constexpr uint32_t SECONDS = 3600;
constexpr uint32_t DATA_BYTES = SECONDS * RATE * 4; // 635,040,000
constexpr std::size_t WRITE_FRAMES = 1 << 18;

// Bursts of low-passed noise of varying loudness and length between near-silent pauses:
// enough variety that no stage can profit from runs of equal samples.
class SpeechLike {
public:
    void Next(int16_t* left, int16_t* right) {
        if (left_ == 0) {
            loud_ = !loud_;
            left_ = RATE / 20 + Random() % (loud_ ? RATE / 3 : RATE);
            peak_ = loud_ ? 2000 + static_cast<int32_t>(Random() % 14000) : 40;
        }
        --left_;
        const int32_t noise = static_cast<int32_t>(Random() % 65536) - 32768;
        tone_ = (tone_ * 3 + noise) / 4;
        *left = static_cast<int16_t>(tone_ * peak_ / 32768);
        *right = static_cast<int16_t>((tone_ * peak_ / 32768) * 7 / 8 + noise % 64);
    }

private:
    uint32_t Random() { // xorshift32
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

    uint32_t state_ = 2463534242u;
    uint32_t left_ = 0;
    bool loud_ = true;
    int32_t peak_ = 0;
    int32_t tone_ = 0;
};

bool WriteLongWav(const std::string& path) {
    const int fd = kestrun::CreateFileForWriting(path);
    if (fd < 0) {
        return false;
    }
    const auto header =
        kestrun::SerializeWavHeader(kestrun::CanonicalWavHeader(2, RATE, DATA_BYTES));
    bool ok = kestrun::WriteAll(fd, header.data(), header.size());
    std::vector<uint8_t> chunk(WRITE_FRAMES * 4);
    SpeechLike speech;
    for (uint32_t frame = 0; ok && frame < DATA_BYTES / 4; frame += WRITE_FRAMES) {
        const std::size_t frames = std::min<std::size_t>(WRITE_FRAMES, DATA_BYTES / 4 - frame);
        for (std::size_t i = 0; i < frames; ++i) {
            int16_t l = 0, r = 0;
            speech.Next(&l, &r);
            const uint16_t ul = static_cast<uint16_t>(l), ur = static_cast<uint16_t>(r);
            chunk[4 * i] = static_cast<uint8_t>(ul);
            chunk[4 * i + 1] = static_cast<uint8_t>(ul >> 8);
            chunk[4 * i + 2] = static_cast<uint8_t>(ur);
            chunk[4 * i + 3] = static_cast<uint8_t>(ur >> 8);
        }
        ok = kestrun::WriteAll(fd, chunk.data(), frames * 4);
    }
    kestrun::CloseFile(fd);
    return ok;
}

bool Cp(const std::string& src, const std::string& dst) {
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/cp", "cp", src.c_str(), dst.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

template <typename Step> double Seconds(Step step, bool* ok) {
    const auto t0 = std::chrono::steady_clock::now();
    *ok = step() && *ok;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::filesystem::path DefaultParent() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::temp_directory_path() : self.parent_path();
}

} // namespace

int main(int argc, char** argv) {
    std::string folder;
    bool ownFolder = false;
    if (argc > 1) {
        folder = argv[1];
    } else {
        std::string pattern = (DefaultParent() / "bench-mono-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::fprintf(stderr, "bench_mono: cannot make a folder beside the program\n");
            return 1;
        }
        folder = pattern;
        ownFolder = true;
    }
    const std::string wav = folder + "/stereo-1h.wav";
    const std::string copy = folder + "/cp-copy.wav";
    const std::string fresh = folder + "/mono-input.wav";

    bool ok = WriteLongWav(wav);
    std::vector<double> cpTimes, monoTimes;
    for (int round = 0; ok && round < REPEATS; ++round) {
        ::sync();
        cpTimes.push_back(Seconds([&] { return Cp(wav, copy); }, &ok));
        kestrun::DeleteFileIfAny(copy);
        ok = Cp(wav, fresh) && ok;
        ::sync();
        monoTimes.push_back(Seconds([&] { return kestrun::ConvertToMono(fresh); }, &ok));
        kestrun::DeleteFileIfAny(fresh);
        // The replaced file's space is given back on a thread of its own; let that finish
        // before the next copy is timed, so neither side pays for the other.
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    kestrun::DeleteFileIfAny(wav);
    if (ownFolder) {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    if (!ok) {
        std::fprintf(stderr, "bench_mono: a step failed (disk space in %s?)\n", folder.c_str());
        return 1;
    }
    const double mono = Median(monoTimes), cp = Median(cpTimes);
    std::printf("mono: one-hour stereo WAV (%u MB): ConvertToMono %.2f s, cp %.2f s (median of %d)"
                " -> %.2fx cp (target < %.0fx)\n",
                static_cast<unsigned>((DATA_BYTES + kestrun::WAV_HEADER_BYTES) / 1000000), mono, cp,
                REPEATS, mono / cp, TARGET_RATIO);
    return 0;
}
