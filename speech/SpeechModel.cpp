// Reading the speech model's ONNX file into plain weight arrays. Only the weights are
// taken from the file; the network they belong to is written out in SpeechNet.cpp, so
// every tensor is checked against the shape that code expects.
#include "SpeechModel.h"

#include <onnx/onnx_pb.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <sstream>

namespace kestrun {
namespace {

constexpr std::size_t MAX_MODEL_BYTES = 64u << 20; // the real file is 1.3 MB

// The convolution layers: input channels, output channels (kernel 3 throughout).
constexpr uint32_t CONV_IN[4] = {129, 128, 64, 64};
constexpr uint32_t CONV_OUT[4] = {128, 64, 64, 128};

std::string ShapeText(std::initializer_list<int64_t> dims) {
    std::string s = "[";
    for (int64_t d : dims) {
        s += (s.size() > 1 ? ", " : "") + std::to_string(d);
    }
    return s + "]";
}

class TensorReader {
public:
    explicit TensorReader(const onnx::GraphProto& graph) {
        for (const onnx::TensorProto& t : graph.initializer()) {
            tensors_[t.name()] = &t;
        }
    }

    // The float tensor called name with exactly these dimensions, or false and why.
    bool Read(const std::string& name, std::initializer_list<int64_t> dims, std::vector<float>* out,
              std::string* why) const {
        const auto it = tensors_.find(name);
        if (it == tensors_.end()) {
            *why = "no tensor " + name;
            return false;
        }
        const onnx::TensorProto& t = *it->second;
        if (t.data_type() != onnx::TensorProto::FLOAT) {
            *why = name + " is not float";
            return false;
        }
        bool same = static_cast<std::size_t>(t.dims_size()) == dims.size();
        std::size_t count = 1;
        std::size_t k = 0;
        for (int64_t d : dims) {
            same = same && t.dims(static_cast<int>(k++)) == d;
            count *= static_cast<std::size_t>(d);
        }
        if (!same) {
            *why = name + " is not " + ShapeText(dims);
            return false;
        }
        out->resize(count);
        if (t.has_raw_data()) {
            const std::string& raw = t.raw_data();
            if (raw.size() != count * sizeof(float)) {
                *why = name + " holds " + std::to_string(raw.size()) + " bytes";
                return false;
            }
            // Stored little-endian whatever the host.
            for (std::size_t i = 0; i < count; ++i) {
                uint32_t bits = 0;
                for (int b = 3; b >= 0; --b) {
                    bits = (bits << 8) |
                           static_cast<uint8_t>(raw[i * 4 + static_cast<std::size_t>(b)]);
                }
                (*out)[i] = std::bit_cast<float>(bits);
            }
        } else if (static_cast<std::size_t>(t.float_data_size()) == count) {
            std::copy(t.float_data().begin(), t.float_data().end(), out->begin());
        } else {
            *why = name + " holds no data";
            return false;
        }
        for (float v : *out) {
            if (!std::isfinite(v)) {
                *why = name + " holds a value that is not finite";
                return false;
            }
        }
        return true;
    }

private:
    std::map<std::string, const onnx::TensorProto*> tensors_;
};

bool ReadAll(const onnx::GraphProto& graph, SpeechModel* m, std::string* why) {
    const TensorReader r(graph);
    if (!r.Read("model.stft.forward_basis_buffer", {258, 1, 256}, &m->stftBasis, why)) {
        return false;
    }
    for (int k = 0; k < 4; ++k) {
        const std::string prefix = "model.encoder." + std::to_string(k) + ".reparam_conv.";
        if (!r.Read(prefix + "weight", {CONV_OUT[k], CONV_IN[k], 3}, &m->convWeight[k], why) ||
            !r.Read(prefix + "bias", {CONV_OUT[k]}, &m->convBias[k], why)) {
            return false;
        }
    }
    std::vector<float> biasIh;
    std::vector<float> biasHh;
    std::vector<float> outBias;
    if (!r.Read("model.decoder.rnn.weight_ih", {512, 128}, &m->lstmWeightIh, why) ||
        !r.Read("model.decoder.rnn.weight_hh", {512, 128}, &m->lstmWeightHh, why) ||
        !r.Read("model.decoder.rnn.bias_ih", {512}, &biasIh, why) ||
        !r.Read("model.decoder.rnn.bias_hh", {512}, &biasHh, why) ||
        !r.Read("model.decoder.decoder.2.weight", {1, 128, 1}, &m->outWeight, why) ||
        !r.Read("model.decoder.decoder.2.bias", {1}, &outBias, why)) {
        return false;
    }
    m->lstmBias.resize(512);
    for (std::size_t i = 0; i < 512; ++i) {
        m->lstmBias[i] = biasIh[i] + biasHh[i];
    }
    m->outBias = outBias[0];
    return true;
}

} // namespace

bool LoadSpeechModel(const std::string& path, SpeechModel* model, std::string* error) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        *error = "speech model not found: " + path;
        return false;
    }
    auto damaged = [&](const std::string& why) {
        *error = "speech model damaged: " + path + ": " + why;
        return false;
    };
    const uint64_t size = std::filesystem::file_size(path, ec);
    if (ec || size > MAX_MODEL_BYTES) {
        return damaged(ec ? "cannot read its size" : "larger than any model it could be");
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
        return damaged("cannot be read");
    }
    onnx::ModelProto proto;
    if (!proto.ParseFromString(bytes)) {
        return damaged("not an ONNX model");
    }
    SpeechModel loaded;
    std::string why;
    if (!ReadAll(proto.graph(), &loaded, &why)) {
        return damaged(why);
    }
    *model = std::move(loaded);
    return true;
}

} // namespace kestrun
