// speech_cues WAV PROBS OUT.srt [--no-refine] [--threshold X]: the engine's speech run
// on probabilities from elsewhere (one per line, one per 32 ms window), so that those of
// another runtime, or ours with the edges left where the model put them, go through the
// very cue making that kestrun-cli -d speech uses.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "SpeechRuns.h"
#include "VadEngine.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool refine = true;
    double threshold = 0.5;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--no-refine") {
            refine = false;
        } else if (args[i] == "--threshold" && i + 1 < args.size()) {
            threshold = std::atof(args[++i].c_str());
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.size() != 3) {
        std::fprintf(stderr,
                     "usage: speech_cues WAV PROBS OUT.srt [--no-refine] [--threshold X]\n");
        return 2;
    }
    kestrun::CVadEngine engine;
    if (!engine.LoadWav(files[0])) {
        std::fprintf(stderr, "speech_cues: %s: not loaded\n", files[0].c_str());
        return 1;
    }
    std::vector<float> probabilities;
    {
        std::ifstream in(files[1]);
        float p = 0.0f;
        while (in >> p) {
            probabilities.push_back(p);
        }
        if (!in.eof() || probabilities.empty()) {
            std::fprintf(stderr, "speech_cues: %s: not a list of probabilities\n",
                         files[1].c_str());
            return 1;
        }
    }
    // Windows that do not line up with the file would shift every cue; a count off by more
    // than the last partial window means the probabilities belong to another file or rate.
    const double windows = static_cast<double>(engine.DurationMs()) / kestrun::speech::WINDOW_MS;
    if (std::abs(static_cast<double>(probabilities.size()) - windows) > 1.5) {
        std::fprintf(stderr, "speech_cues: %zu probabilities for %.1f windows of %s\n",
                     probabilities.size(), windows, files[0].c_str());
        return 1;
    }
    engine.SetSpeechProbabilities(std::move(probabilities));
    const kestrun::DetectionResult r = engine.RunSpeech(threshold, files[2], refine);
    if (!r.written) {
        std::fprintf(stderr, "speech_cues: %s: %s\n", files[2].c_str(), r.error.c_str());
        return 1;
    }
    std::printf("%u cues\n", r.cues);
    return 0;
}
