// read_baseline FILE: the least any loader of a 16-bit WAV must do. Reads the file with
// read() in the engine's chunk size and sums the square of every sample after the 44-byte
// header in 64 bits; the sum is printed so none of the work can be optimised away.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "WavHeader.h"

namespace {

// Fills buf as far as the file allows; the byte count, or -1 on a read error.
long ReadFull(int fd, uint8_t* buf, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, buf + got, size - got);
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: read_baseline FILE\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    uint8_t header[kestrun::WAV_HEADER_BYTES];
    if (ReadFull(fd, header, sizeof header) != static_cast<long>(sizeof header)) {
        std::fprintf(stderr, "read_baseline: %s: no WAV header\n", argv[1]);
        close(fd);
        return 1;
    }
    std::vector<int16_t> samples(kestrun::READ_CHUNK_BYTES / sizeof(int16_t));
    uint64_t sum = 0;
    for (;;) {
        const long got = ReadFull(fd, reinterpret_cast<uint8_t*>(samples.data()),
                                  samples.size() * sizeof(int16_t));
        if (got < 0) {
            std::perror(argv[1]);
            close(fd);
            return 1;
        }
        const std::size_t count = static_cast<std::size_t>(got) / sizeof(int16_t);
        for (std::size_t i = 0; i < count; ++i) {
            const int32_t s = samples[i];
            sum += static_cast<uint64_t>(s * s);
        }
        if (static_cast<std::size_t>(got) < samples.size() * sizeof(int16_t)) {
            break;
        }
    }
    close(fd);
    std::printf("%llu\n", static_cast<unsigned long long>(sum));
    return 0;
}
