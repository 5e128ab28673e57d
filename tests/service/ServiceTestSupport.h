// Shared pieces of the service tests: a running service per test, an HTTP
// client on it, render bodies shaped like the plug-in's, and WAV analysis.
#pragma once

#include "MarluneService.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace marlune::service::testing {

using json = nlohmann::ordered_json;

constexpr int kSampleRate = 48000;
constexpr int kA4 = 69;

struct NoteArgs {
    double start;
    double duration;
    int pitch;
    int velocity;
};

// A render body with the plug-in's members and neutral shaping settings.
inline json renderBody(const std::vector<NoteArgs>& notes, double totalDuration, int outSr = kSampleRate) {
    json body;
    body["model"] = "tf48k";
    body["notes"] = json::array();
    for (const NoteArgs& n : notes)
        body["notes"].push_back({{"start", n.start}, {"duration", n.duration}, {"pitch", n.pitch}, {"velocity", n.velocity}});
    body["bends"] = json::array();
    body["vibrato_speed"] = 5.0;
    body["vibrato_depth"] = json::array();
    body["vibrato_max_semis"] = 0.5;
    body["reverb_tail_ms"] = 0.0;
    body["adsr"] = {{"attack", 0.01}, {"decay", 0.1}, {"sustain", 0.8}, {"release", 0.05}, {"decay_curve", 1.0}};
    body["loudness"] = {{"gain_db", 0.0}, {"vel_curve", 1.0}};
    body["mode"] = "ddsp";
    body["total_duration"] = totalDuration;
    body["out_sr"] = outSr;
    body["normalize_loudness"] = false;
    body["timbre_dynamics"] = 0.5;
    body["noise_db"] = -30.0;
    body["loudness_floor_db"] = -60.0;
    body["gate_db"] = -50.0;
    body["dry"] = true;
    return body;
}

inline json singleNoteBody(int pitch = kA4, double duration = 1.0, double totalDuration = 1.0) {
    return renderBody({{0.0, duration, pitch, 100}}, totalDuration);
}

// Starts a fresh service per test; tests adjust `options` before start().
class ServiceTest : public ::testing::Test {
protected:
    RenderService::Options options;
    std::unique_ptr<RenderService> service;

    void startService() {
        service = std::make_unique<RenderService>(options);
        ASSERT_TRUE(service->start());
    }

    void SetUp() override { options.autoApprove = false; }

    httplib::Client client() const {
        httplib::Client c("127.0.0.1", service->port());
        c.set_connection_timeout(5);
        c.set_read_timeout(10);
        return c;
    }

    static httplib::Headers bearer(const std::string& token) { return {{"Authorization", "Bearer " + token}}; }

    httplib::Result postJson(const std::string& path, const std::string& body, const std::string& token = "") const {
        auto c = client();
        if (token.empty())
            return c.Post(path.c_str(), body, "application/json");
        return c.Post(path.c_str(), bearer(token), body, "application/json");
    }

    httplib::Result getAuth(const std::string& path, const std::string& token) const {
        auto c = client();
        return c.Get(path.c_str(), bearer(token));
    }

    std::string signedInToken() { return service->issueTokens().accessToken; }

    // Renders and expects a WAV reply.
    std::string renderWav(const json& body) {
        auto res = postJson("/v1/renders", body.dump(), signedInToken());
        EXPECT_TRUE(res) << "no reply";
        if (!res)
            return {};
        EXPECT_EQ(res->status, 200) << res->body;
        return res->body;
    }
};

struct Wav {
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    uint32_t declaredDataBytes = 0;
    std::vector<float> samples;
};

inline uint32_t readLe(const std::string& bytes, std::size_t offset, int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i)
        value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
    return value;
}

// Parses the canonical 44-byte-header WAV the service writes.
inline bool parseWav(const std::string& bytes, Wav& wav) {
    if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0 ||
        bytes.compare(12, 4, "fmt ") != 0 || bytes.compare(36, 4, "data") != 0 || readLe(bytes, 20, 2) != 1)
        return false;
    wav.channels = static_cast<int>(readLe(bytes, 22, 2));
    wav.sampleRate = static_cast<int>(readLe(bytes, 24, 4));
    wav.bitsPerSample = static_cast<int>(readLe(bytes, 34, 2));
    wav.declaredDataBytes = readLe(bytes, 40, 4);
    const std::size_t available = std::min<std::size_t>(wav.declaredDataBytes, bytes.size() - 44);
    wav.samples.clear();
    for (std::size_t i = 0; i + 1 < available; i += 2)
        wav.samples.push_back(static_cast<int16_t>(readLe(bytes, 44 + i, 2)) / 32768.0f);
    return true;
}

inline Wav decodeWav(const std::string& bytes) {
    Wav wav;
    EXPECT_TRUE(parseWav(bytes, wav)) << "not a WAV file";
    return wav;
}

inline double rms(const std::vector<float>& s, double fromSeconds, double toSeconds, int sampleRate = kSampleRate) {
    const auto from = static_cast<std::size_t>(fromSeconds * sampleRate);
    const auto to = std::min(s.size(), static_cast<std::size_t>(toSeconds * sampleRate));
    if (to <= from)
        return 0.0;
    double sum = 0.0;
    for (std::size_t i = from; i < to; ++i)
        sum += static_cast<double>(s[i]) * s[i];
    return std::sqrt(sum / (to - from));
}

// Fundamental by autocorrelation: the shortest lag whose correlation comes
// close to the best one (so octave-down lags do not win), refined by a
// parabola through its neighbours.
inline double estimatePitchHz(const std::vector<float>& s, double fromSeconds, double lengthSeconds,
                              int sampleRate = kSampleRate) {
    const auto from = static_cast<std::size_t>(fromSeconds * sampleRate);
    const auto count = static_cast<std::size_t>(lengthSeconds * sampleRate);
    const int minLag = sampleRate / 2000;
    const int maxLag = sampleRate / 50;
    if (from + count + maxLag > s.size())
        return 0.0;
    std::vector<double> correlation(maxLag + 2, 0.0);
    for (int lag = minLag; lag <= maxLag + 1; ++lag) {
        double sum = 0.0, energyA = 0.0, energyB = 0.0;
        for (std::size_t i = from; i < from + count; ++i) {
            sum += static_cast<double>(s[i]) * s[i + lag];
            energyA += static_cast<double>(s[i]) * s[i];
            energyB += static_cast<double>(s[i + lag]) * s[i + lag];
        }
        correlation[lag] = sum / std::sqrt(energyA * energyB + 1e-20);
    }
    const double best = *std::max_element(correlation.begin() + minLag, correlation.begin() + maxLag + 1);
    int lag = minLag;
    while (lag < maxLag && !(correlation[lag] >= 0.9 * best && correlation[lag] >= correlation[lag + 1] &&
                             correlation[lag] >= correlation[lag - 1]))
        ++lag;
    const double a = correlation[lag - 1], b = correlation[lag], c = correlation[lag + 1];
    const double denominator = a - 2.0 * b + c;
    const double offset = std::fabs(denominator) > 1e-12 ? 0.5 * (a - c) / denominator : 0.0;
    return sampleRate / (lag + offset);
}

inline double midiHz(double semis) { return 440.0 * std::pow(2.0, (semis - 69.0) / 12.0); }

}  // namespace marlune::service::testing
