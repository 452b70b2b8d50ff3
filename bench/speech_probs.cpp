// speech_probs MODEL WAV OUT.txt [--threads N]: our speech model's probabilities for a
// WAV file, one per line, exactly as kestrun-cli computes them before it makes cues
// (kestrun-cli itself never shows them).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "SpeechAudio.h"
#include "SpeechModel.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    int threads = 1;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--threads" && i + 1 < args.size()) {
            threads = std::atoi(args[++i].c_str());
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.size() != 3 || threads < 1) {
        std::fprintf(stderr, "usage: speech_probs MODEL WAV OUT.txt [--threads N]\n");
        return 2;
    }
    kestrun::SpeechModel model;
    std::string error;
    if (!kestrun::LoadSpeechModel(files[0], &model, &error)) {
        std::fprintf(stderr, "speech_probs: %s\n", error.c_str());
        return 1;
    }
    kestrun::SpeechRunOptions options;
    options.threads = threads;
    const kestrun::SpeechAnalysis a = kestrun::AnalyseSpeech(files[1], model, options);
    if (!a.ok || a.probabilities.empty()) {
        std::fprintf(stderr, "speech_probs: %s: %s\n", files[1].c_str(),
                     a.ok ? "no probabilities" : a.error.c_str());
        return 1;
    }
    std::FILE* out = std::fopen(files[2].c_str(), "w");
    if (out == nullptr) {
        std::perror(files[2].c_str());
        return 1;
    }
    for (const float p : a.probabilities) {
        std::fprintf(out, "%.9g\n", static_cast<double>(p));
    }
    if (std::fclose(out) != 0) {
        std::fprintf(stderr, "speech_probs: cannot write %s\n", files[2].c_str());
        return 1;
    }
    return 0;
}
