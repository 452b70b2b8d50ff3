// What every fuzz target shares: a failed property stops the run with a message, and a
// scratch file on a memory file system that a target may rewrite on each input.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace kestrun::fuzz {

// Like assert, but kept in every build type and naming the property that failed; libFuzzer
// takes the abort as a finding and saves the input.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond);       \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// A path of its own per process and name, on /dev/shm when there is one: the targets write
// a file per input, which must cost no disk. The file goes when the run ends.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& name)
        : path_(std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                "/kestrun-fuzz-" + std::to_string(getpid()) + "-" + name) {}
    ~ScratchFile() { unlink(path_.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline bool WriteWhole(const std::string& path, std::string_view bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// The whole file, or nothing with false.
inline bool ReadWhole(const std::string& path, std::string* bytes) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    bytes->clear();
    char buf[65536];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        bytes->append(buf, n);
    }
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

} // namespace kestrun::fuzz
