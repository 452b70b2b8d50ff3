// Small helpers for tests: WAV bytes built field by field, files in a private temporary
// folder that disappears with the test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace testwav {

inline void Put16(std::vector<uint8_t>& b, std::size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
inline void Put32(std::vector<uint8_t>& b, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = uint8_t(v >> (8 * i));
    }
}

// A canonical 44-byte-header 16-bit PCM file holding the interleaved samples.
inline std::vector<uint8_t> MakeWav(uint16_t channels, uint32_t rate,
                                    const std::vector<int16_t>& interleaved) {
    const uint32_t dataSize = uint32_t(interleaved.size() * 2);
    std::vector<uint8_t> b(44 + dataSize);
    std::copy_n("RIFF", 4, b.begin());
    Put32(b, 4, 36 + dataSize);
    std::copy_n("WAVEfmt ", 8, b.begin() + 8);
    Put32(b, 16, 16);
    Put16(b, 20, 1);
    Put16(b, 22, channels);
    Put32(b, 24, rate);
    Put32(b, 28, rate * channels * 2);
    Put16(b, 32, uint16_t(channels * 2));
    Put16(b, 34, 16);
    std::copy_n("data", 4, b.begin() + 36);
    Put32(b, 40, dataSize);
    for (std::size_t i = 0; i < interleaved.size(); ++i) {
        Put16(b, 44 + 2 * i, uint16_t(interleaved[i]));
    }
    return b;
}

// Keeps the RIFF size equal to the file size - 8 after bytes were added or removed.
inline void FixRiffSize(std::vector<uint8_t>& b) {
    Put32(b, 4, uint32_t(b.size() - 8));
}

class TempDir {
public:
    TempDir() {
        static std::mt19937_64 rng{std::random_device{}()};
        path_ = std::filesystem::temp_directory_path() /
                ("kestrun-test-" + std::to_string(rng() % 1000000000));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace testwav
