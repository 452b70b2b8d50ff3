// The speech model: a small neural voice-activity network read once from its ONNX file
// into plain weight arrays, and the network run over 16 kHz mono audio, one speech
// probability per 32 ms window. Failures are returned as values, never thrown.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kestrun {

// The model file's name, looked up beside the program like the decoder adapters.
constexpr const char* SPEECH_MODEL_FILE = "silero_vad_16k_op15.onnx";

constexpr uint32_t SPEECH_RATE = 16000; // the only rate the network takes
constexpr uint32_t SPEECH_WINDOW = 512; // samples per probability: 32 ms
constexpr uint32_t SPEECH_CONTEXT = 64; // samples of the previous window fed again
constexpr uint32_t SPEECH_HIDDEN = 128; // LSTM state width

// The network's weights, as the file stores them (row-major, float).
struct SpeechModel {
    std::vector<float> stftBasis;     // [258, 256]: 129 cosine rows, 129 sine rows
    std::vector<float> convWeight[4]; // [out, in, 3] each
    std::vector<float> convBias[4];   // [out]
    std::vector<float> lstmWeightIh;  // [512, 128], gates i f g o
    std::vector<float> lstmWeightHh;  // [512, 128]
    std::vector<float> lstmBias;      // [512]: bias_ih + bias_hh
    std::vector<float> outWeight;     // [128]
    float outBias = 0.0f;
};

// Reads and checks the model file. On failure returns false with one line in *error:
// "speech model not found: PATH" when there is no such file, otherwise
// "speech model damaged: PATH: what is wrong".
bool LoadSpeechModel(const std::string& path, SpeechModel* model, std::string* error);

// The network over a stream of 16 kHz mono samples (float, full scale 1.0). Every
// SPEECH_WINDOW samples give one probability; each window is fed with the SPEECH_CONTEXT
// samples before it (zeros before the first), and the LSTM state runs on from window to
// window. Windows are gathered into batches: the convolutional front end has no state and
// runs over a whole batch at once (split over `threads` threads), the LSTM then steps
// through the batch window by window.
class CSpeechNet {
public:
    CSpeechNet(const SpeechModel& model, int threads);
    ~CSpeechNet();
    CSpeechNet(const CSpeechNet&) = delete;
    CSpeechNet& operator=(const CSpeechNet&) = delete;

    // Appends the probabilities of the windows completed by samples to out. Samples of an
    // incomplete window wait for the next call.
    void Push(std::span<const float> samples, std::vector<float>& out);

    // Pads a waiting incomplete window with zeros and appends its probability, then
    // appends whatever the batch still holds. The net can then start a new stream.
    void Finish(std::vector<float>& out);

    // Back to the start of a stream: zero state and context, nothing waiting.
    void Reset();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Probabilities of a whole array of samples: Push, then Finish, on a fresh net.
std::vector<float> SpeechProbabilities(const SpeechModel& model, std::span<const float> samples,
                                       int threads);

} // namespace kestrun
