// load_only FILE: loads one WAV into a fresh engine and exits, so that the process's
// peak resident size is the load's and nothing else's.
#include <cstdio>

#include "VadEngine.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: load_only FILE\n");
        return 2;
    }
    kestrun::CVadEngine engine;
    if (!engine.LoadWav(argv[1])) {
        std::fprintf(stderr, "load_only: %s: not loaded\n", argv[1]);
        return 1;
    }
    std::printf("%u frames\n", engine.frameCount());
    return 0;
}
