// The speech network run window by window over a stream. The shapes, per batch of B
// windows of 576 samples (64 of context + 512 new):
//   reflect-pad right by 64                    [B, 576] -> [B, 640]
//   STFT: 4 frames of 256, hop 128, as a GEMM  [B*4, 256] x [256, 258] -> [B*4, 258]
//   magnitude of 129 bins                      [B*4, 258] -> [B*4, 129]
//   conv 129->128 k3 s1 + ReLU                 [B, 4, 129] -> [B, 4, 128]
//   conv 128->64  k3 s2 + ReLU                 [B, 4, 128] -> [B, 2, 64]
//   conv 64->64   k3 s2 + ReLU                 [B, 2, 64]  -> [B, 1, 64]
//   conv 64->128  k3 s1 + ReLU                 [B, 1, 64]  -> [B, 1, 128]
//   LSTM input part, all windows at once       [B, 128] x [128, 512] -> [B, 512]
//   LSTM cell, one window after the other      h, c: [128]
//   ReLU, 1x1 conv 128->1, sigmoid             [128] -> probability
// Activations are kept time-major ([window, time, channel], row-major), so each
// convolution is one matrix product over its unrolled input.
#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

#include "SpeechModel.h"

namespace kestrun {
namespace {

constexpr int INPUT = SPEECH_CONTEXT + SPEECH_WINDOW; // 576
constexpr int PADDED = INPUT + 64;                    // 640
constexpr int FFT = 256;
constexpr int HOP = 128;
constexpr int FRAMES = (PADDED - FFT) / HOP + 1; // 4
constexpr int BINS = 129;
constexpr int H = SPEECH_HIDDEN;
constexpr int GATES = 4 * H;
// Windows per batch: 16 s of audio, a few MB of activations.
constexpr int BATCH = 512;

constexpr int CONV_IN[4] = {BINS, 128, 64, 64};
constexpr int CONV_OUT[4] = {128, 64, 64, 128};
constexpr int CONV_STRIDE[4] = {1, 2, 2, 1};

inline float Sigmoid(float x) {
    return 1.0f / (1.0f + std::exp(-x));
}

// e^x for the gate activations, in a form the compiler turns into vector code (the
// library's expf is a call per element, and was a fifth of the whole run): 2^n by the
// exponent bits, e^r on |r| <= ln2/2 by its Taylor polynomial to degree 7 (relative
// error below 2e-7). Arguments are clamped to where float neither overflows nor goes
// subnormal, which the sigmoid and tanh built on it do not notice.
inline float ExpApprox(float x) {
    x = std::min(std::max(x, -87.0f), 88.0f);
    // Rounded to the nearest integer by the float adder itself: 1.5 * 2^23 leaves no bits
    // for a fraction (rint would be a library call on the baseline instruction set).
    constexpr float ROUNDER = 12582912.0f;
    const float n = (x * 1.44269504088896341f + ROUNDER) - ROUNDER;
    const float r = (x - n * 0.693145751953125f) - n * 1.42860682030941723212e-6f;
    float p = 1.0f / 5040.0f;
    p = p * r + 1.0f / 720.0f;
    p = p * r + 1.0f / 120.0f;
    p = p * r + 1.0f / 24.0f;
    p = p * r + 1.0f / 6.0f;
    p = p * r + 0.5f;
    p = p * r + 1.0f;
    p = p * r + 1.0f;
    const int32_t bits = (static_cast<int32_t>(n) + 127) << 23;
    float scale;
    std::memcpy(&scale, &bits, sizeof scale);
    return p * scale;
}

// The LSTM cell's nonlinearities over all four gates at once, in place: sigmoid for
// i, f and o, tanh (as 2 sigmoid(2x) - 1) for g.
void GateActivations(float* gates) {
    for (int j = 0; j < 2 * H; ++j) {
        gates[j] = 1.0f / (1.0f + ExpApprox(-gates[j]));
    }
    for (int j = 2 * H; j < 3 * H; ++j) {
        gates[j] = 2.0f / (1.0f + ExpApprox(-2.0f * gates[j])) - 1.0f;
    }
    for (int j = 3 * H; j < 4 * H; ++j) {
        gates[j] = 1.0f / (1.0f + ExpApprox(-gates[j]));
    }
}

// tanh over the cell state, the same way.
void Tanh(const float* in, float* out) {
    for (int j = 0; j < H; ++j) {
        out[j] = 2.0f / (1.0f + ExpApprox(-2.0f * in[j])) - 1.0f;
    }
}

// Debian's single-threaded OpenBLAS is built without locks: two calls at once may be
// handed the same internal buffer, which now and then garbles a product (one window of a
// music clip came out 0.43 off). So the library is only ever entered by one thread at a
// time; what the encoder's threads do besides its products still runs side by side.
std::mutex& BlasLock() {
    static std::mutex lock;
    return lock;
}

// C[m x n] = A[m x k] . B[n x k]^T (+ C when accumulate), all row-major.
void MatMulBt(int m, int n, int k, const float* a, const float* b, float* c, bool accumulate) {
    std::lock_guard hold(BlasLock());
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, n, k, 1.0f, a, k, b, k,
                accumulate ? 1.0f : 0.0f, c, n);
}

// Scratch of one slice of a batch; one per thread, reused from batch to batch.
struct Scratch {
    std::vector<float> frames, spectrum, act0, act1, unrolled;
};

} // namespace

struct CSpeechNet::Impl {
    const SpeechModel& model;
    int threads;
    // Convolution weights rearranged to [out, tap, in] for the unrolled input.
    std::vector<float> convW[4];

    std::vector<float> pending; // samples of batch windows not yet run (each INPUT long)
    int pendingWindows = 0;
    std::vector<float> partial; // samples of the window being filled
    float context[SPEECH_CONTEXT] = {};
    float h[H] = {};
    float c[H] = {};
    std::vector<float> features; // [BATCH, 128] encoder output
    std::vector<float> gatesIn;  // [BATCH, 512]
    std::vector<Scratch> scratch;

    Impl(const SpeechModel& m, int t) : model(m), threads(std::max(1, t)) {
        for (int l = 0; l < 4; ++l) {
            const int in = CONV_IN[l];
            const int out = CONV_OUT[l];
            convW[l].resize(static_cast<std::size_t>(out) * 3 * in);
            for (int o = 0; o < out; ++o) {
                for (int i = 0; i < in; ++i) {
                    for (int k = 0; k < 3; ++k) {
                        convW[l][(static_cast<std::size_t>(o) * 3 + k) * in + i] =
                            m.convWeight[l][(static_cast<std::size_t>(o) * in + i) * 3 + k];
                    }
                }
            }
        }
        pending.resize(static_cast<std::size_t>(BATCH) * INPUT);
        features.resize(static_cast<std::size_t>(BATCH) * H);
        gatesIn.resize(static_cast<std::size_t>(BATCH) * GATES);
        scratch.resize(static_cast<std::size_t>(threads));
    }

    // One conv layer (kernel 3, padding 1) over n windows: in [n, tIn, cin] -> out [n, tOut, cout].
    void Conv(int layer, int n, int tIn, const float* in, float* out, Scratch& s) const {
        const int cin = CONV_IN[layer];
        const int cout = CONV_OUT[layer];
        const int stride = CONV_STRIDE[layer];
        const int tOut = (tIn + 2 - 3) / stride + 1;
        const std::size_t rowLen = static_cast<std::size_t>(3) * cin;
        s.unrolled.resize(static_cast<std::size_t>(n) * tOut * rowLen);
        for (int w = 0; w < n; ++w) {
            for (int t = 0; t < tOut; ++t) {
                float* row = s.unrolled.data() + (static_cast<std::size_t>(w) * tOut + t) * rowLen;
                for (int k = 0; k < 3; ++k) {
                    const int src = t * stride + k - 1;
                    float* dst = row + static_cast<std::size_t>(k) * cin;
                    if (src < 0 || src >= tIn) {
                        std::fill(dst, dst + cin, 0.0f);
                    } else {
                        std::memcpy(dst, in + (static_cast<std::size_t>(w) * tIn + src) * cin,
                                    sizeof(float) * static_cast<std::size_t>(cin));
                    }
                }
            }
        }
        const int rows = n * tOut;
        const float* bias = model.convBias[layer].data();
        for (int r = 0; r < rows; ++r) {
            std::memcpy(out + static_cast<std::size_t>(r) * cout, bias, sizeof(float) * cout);
        }
        MatMulBt(rows, cout, static_cast<int>(rowLen), s.unrolled.data(), convW[layer].data(), out,
                 true);
        for (std::size_t i = 0; i < static_cast<std::size_t>(rows) * cout; ++i) {
            out[i] = std::max(out[i], 0.0f);
        }
    }

    // The stateless front end for windows [first, first + n) of the batch: features out.
    void Encode(int first, int n, Scratch& s) {
        // Frames of the reflect-padded input, one row each.
        s.frames.resize(static_cast<std::size_t>(n) * FRAMES * FFT);
        float padded[PADDED];
        for (int w = 0; w < n; ++w) {
            const float* x = pending.data() + static_cast<std::size_t>(first + w) * INPUT;
            std::memcpy(padded, x, sizeof(float) * INPUT);
            for (int k = 0; k < PADDED - INPUT; ++k) {
                padded[INPUT + k] = x[INPUT - 2 - k];
            }
            for (int f = 0; f < FRAMES; ++f) {
                std::memcpy(s.frames.data() + (static_cast<std::size_t>(w) * FRAMES + f) * FFT,
                            padded + f * HOP, sizeof(float) * FFT);
            }
        }
        const int rows = n * FRAMES;
        s.spectrum.resize(static_cast<std::size_t>(rows) * 2 * BINS);
        MatMulBt(rows, 2 * BINS, FFT, s.frames.data(), model.stftBasis.data(), s.spectrum.data(),
                 false);
        s.act0.resize(static_cast<std::size_t>(rows) * BINS);
        for (int r = 0; r < rows; ++r) {
            const float* re = s.spectrum.data() + static_cast<std::size_t>(r) * 2 * BINS;
            const float* im = re + BINS;
            float* mag = s.act0.data() + static_cast<std::size_t>(r) * BINS;
            for (int b = 0; b < BINS; ++b) {
                mag[b] = std::sqrt(re[b] * re[b] + im[b] * im[b]);
            }
        }
        s.act1.resize(static_cast<std::size_t>(n) * FRAMES * 128);
        Conv(0, n, 4, s.act0.data(), s.act1.data(), s);
        s.act0.resize(static_cast<std::size_t>(n) * 2 * 64);
        Conv(1, n, 4, s.act1.data(), s.act0.data(), s);
        s.act1.resize(static_cast<std::size_t>(n) * 64);
        Conv(2, n, 2, s.act0.data(), s.act1.data(), s);
        Conv(3, n, 1, s.act1.data(), features.data() + static_cast<std::size_t>(first) * H, s);
    }

    // Runs the waiting batch: front end split over the threads, then the LSTM in order.
    void RunBatch(std::vector<float>& out) {
        const int n = pendingWindows;
        if (n == 0) {
            return;
        }
        const int parts = std::min(threads, std::max(1, n / 16));
        std::vector<std::thread> helpers;
        const int each = (n + parts - 1) / parts;
        for (int p = 1; p < parts; ++p) {
            const int first = p * each;
            const int count = std::min(each, n - first);
            if (count > 0) {
                helpers.emplace_back([this, first, count, p] {
                    Encode(first, count, scratch[static_cast<std::size_t>(p)]);
                });
            }
        }
        Encode(0, std::min(each, n), scratch[0]);
        for (std::thread& t : helpers) {
            t.join();
        }

        // [n, 128] x [512, 128]^T -> [n, 512], both LSTM biases added up front.
        for (int w = 0; w < n; ++w) {
            std::memcpy(gatesIn.data() + static_cast<std::size_t>(w) * GATES, model.lstmBias.data(),
                        sizeof(float) * GATES);
        }
        MatMulBt(n, GATES, H, features.data(), model.lstmWeightIh.data(), gatesIn.data(), true);

        float gates[GATES];
        // Held for the whole sequence: no other thread of this run calls the library now.
        std::lock_guard hold(BlasLock());
        for (int w = 0; w < n; ++w) {
            std::memcpy(gates, gatesIn.data() + static_cast<std::size_t>(w) * GATES, sizeof gates);
            cblas_sgemv(CblasRowMajor, CblasNoTrans, GATES, H, 1.0f, model.lstmWeightHh.data(), H,
                        h, 1, 1.0f, gates, 1);
            // Gate order i, f, g, o.
            GateActivations(gates);
            for (int j = 0; j < H; ++j) {
                c[j] = gates[H + j] * c[j] + gates[j] * gates[2 * H + j];
            }
            float tanhC[H];
            Tanh(c, tanhC);
            float logit = model.outBias;
            for (int j = 0; j < H; ++j) {
                h[j] = gates[3 * H + j] * tanhC[j];
                logit += model.outWeight[static_cast<std::size_t>(j)] * std::max(h[j], 0.0f);
            }
            out.push_back(Sigmoid(logit));
        }
        pendingWindows = 0;
    }

    // Queues the window held in partial (SPEECH_WINDOW samples) behind its context.
    void QueueWindow(std::vector<float>& out) {
        float* slot = pending.data() + static_cast<std::size_t>(pendingWindows) * INPUT;
        std::memcpy(slot, context, sizeof context);
        std::memcpy(slot + SPEECH_CONTEXT, partial.data(), sizeof(float) * SPEECH_WINDOW);
        std::memcpy(context, slot + INPUT - SPEECH_CONTEXT, sizeof context);
        partial.clear();
        if (++pendingWindows == BATCH) {
            RunBatch(out);
        }
    }
};

CSpeechNet::CSpeechNet(const SpeechModel& model, int threads)
    : impl_(std::make_unique<Impl>(model, threads)) {
    impl_->partial.reserve(SPEECH_WINDOW);
}

CSpeechNet::~CSpeechNet() = default;

void CSpeechNet::Push(std::span<const float> samples, std::vector<float>& out) {
    Impl& m = *impl_;
    while (!samples.empty()) {
        const std::size_t take = std::min(samples.size(), SPEECH_WINDOW - m.partial.size());
        m.partial.insert(m.partial.end(), samples.begin(),
                         samples.begin() + static_cast<std::ptrdiff_t>(take));
        samples = samples.subspan(take);
        if (m.partial.size() == SPEECH_WINDOW) {
            m.QueueWindow(out);
        }
    }
}

void CSpeechNet::Finish(std::vector<float>& out) {
    Impl& m = *impl_;
    if (!m.partial.empty()) {
        m.partial.resize(SPEECH_WINDOW, 0.0f);
        m.QueueWindow(out);
    }
    m.RunBatch(out);
    Reset();
}

void CSpeechNet::Reset() {
    Impl& m = *impl_;
    m.partial.clear();
    m.pendingWindows = 0;
    std::fill(std::begin(m.context), std::end(m.context), 0.0f);
    std::fill(std::begin(m.h), std::end(m.h), 0.0f);
    std::fill(std::begin(m.c), std::end(m.c), 0.0f);
}

std::vector<float> SpeechProbabilities(const SpeechModel& model, std::span<const float> samples,
                                       int threads) {
    CSpeechNet net(model, threads);
    std::vector<float> out;
    out.reserve(samples.size() / SPEECH_WINDOW + 1);
    net.Push(samples, out);
    net.Finish(out);
    return out;
}

} // namespace kestrun
