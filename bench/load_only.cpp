// load_only FILE: loads one WAV into a fresh engine and exits, so that the process's
// peak resident size is the load's and nothing else's. Prints the frame count, the loudest
// frame and a checksum of every energy, so that loads of one audio in different layouts
// can be compared.
#include <cstdio>
#include <string>

#include "VadEngine.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: load_only FILE\n");
        return 2;
    }
    kestrun::CVadEngine engine;
    std::string why;
    if (!engine.LoadWav(argv[1], &why)) {
        std::fprintf(stderr, "load_only: %s: not loaded: %s\n", argv[1], why.c_str());
        return 1;
    }
    double sum = 0.0;
    for (int c = 0; c < 2; ++c) {
        if (const kestrun::FrameArray* e = engine.energy(c)) {
            for (double v : *e) {
                sum += v;
            }
        }
    }
    std::printf("%u frames, loudest %.17g, sum %.17g\n", engine.frameCount(), engine.maxEnergy(),
                sum);
    return 0;
}
