// Render speed of the local render service. "realtime_factor" is seconds of
// audio produced per second of wall-clock time.
#include "MarluneService.h"
#include "ReferenceSynth.h"

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <string>

namespace {

using json = nlohmann::ordered_json;
using marlune::service::RenderService;

constexpr double kPerformanceSeconds = 30.0;
constexpr double kNoteSpacingSeconds = 0.25;
constexpr double kBendSpacingSeconds = 0.05;
constexpr double kTailMs = 1500.0;
constexpr int kSampleRate = 48000;
constexpr std::array<int, 8> kScale{60, 62, 64, 65, 67, 69, 71, 72};

// A busy 30 s performance: a note every quarter second, a wavering bend and
// vibrato throughout, and a reverb tail.
json performanceBody(double seconds) {
    json body;
    body["model"] = "tf48k";
    body["pmi"] = "nylon-guitar";
    body["notes"] = json::array();
    int index = 0;
    for (double t = 0.0; t < seconds; t += kNoteSpacingSeconds, ++index)
        body["notes"].push_back({{"start", t}, {"duration", 0.3}, {"pitch", kScale[index % kScale.size()]},
                                 {"velocity", 60 + (index * 7) % 60}});
    body["bends"] = json::array();
    for (double t = 0.0; t < seconds; t += kBendSpacingSeconds)
        body["bends"].push_back({{"time", t}, {"semis", 0.5 * std::sin(t * 3.0)}});
    body["vibrato_speed"] = 5.5;
    body["vibrato_depth"] = json::array();
    for (double t = 0.0; t < seconds; t += 0.5)
        body["vibrato_depth"].push_back({{"time", t}, {"depth", 0.5 + 0.5 * std::sin(t)}});
    body["vibrato_max_semis"] = 0.6;
    body["reverb_tail_ms"] = kTailMs;
    body["adsr"] = {{"attack", 0.01}, {"decay", 0.2}, {"sustain", 0.7}, {"release", 0.3}, {"decay_curve", 2.0}};
    body["loudness"] = {{"gain_db", 0.0}, {"vel_curve", 1.5}};
    body["mode"] = "ddsp";
    body["total_duration"] = seconds;
    body["out_sr"] = kSampleRate;
    body["normalize_loudness"] = false;
    body["dry"] = true;
    return body;
}

double audioSeconds(double performanceSeconds) { return performanceSeconds + kTailMs / 1000.0; }

void setRealtimeFactor(benchmark::State& state, double seconds) {
    state.counters["realtime_factor"] = benchmark::Counter(seconds, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_SynthOnly30s(benchmark::State& state) {
    marlune::service::RenderPlan plan;
    std::string error;
    if (!marlune::service::parseBody(performanceBody(kPerformanceSeconds).dump(),
                                     marlune::service::BodyKind::Render, plan, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(marlune::service::renderSamples(plan));
    setRealtimeFactor(state, audioSeconds(kPerformanceSeconds));
}

void BM_ParseRenderEncode30s(benchmark::State& state) {
    const std::string body = performanceBody(kPerformanceSeconds).dump();
    for (auto _ : state) {
        marlune::service::RenderPlan plan;
        std::string error;
        marlune::service::parseBody(body, marlune::service::BodyKind::Render, plan, error);
        benchmark::DoNotOptimize(marlune::service::encodeWav16Mono(marlune::service::renderSamples(plan), plan.outSr));
    }
    setRealtimeFactor(state, audioSeconds(kPerformanceSeconds));
}

void renderOverHttp(benchmark::State& state, double seconds) {
    RenderService service;
    if (!service.start()) {
        state.SkipWithError("service did not start");
        return;
    }
    const std::string token = service.issueTokens().accessToken;
    const std::string body = performanceBody(seconds).dump();
    httplib::Client client("127.0.0.1", service.port());
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    const httplib::Headers headers{{"Authorization", "Bearer " + token}};
    for (auto _ : state) {
        auto res = client.Post("/v1/renders", headers, body, "application/json");
        if (!res || res->status != 200) {
            state.SkipWithError("render failed");
            return;
        }
        benchmark::DoNotOptimize(res->body.data());
    }
    setRealtimeFactor(state, audioSeconds(seconds));
}

void BM_LoopbackHttp30s(benchmark::State& state) { renderOverHttp(state, kPerformanceSeconds); }

// A one-note phrase: mostly request overhead.
void BM_LoopbackHttpSmallRender(benchmark::State& state) { renderOverHttp(state, kNoteSpacingSeconds); }

}  // namespace

// Wall-clock time throughout: over HTTP the work happens on the server's
// threads, so the client's CPU time says nothing.
BENCHMARK(BM_SynthOnly30s)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ParseRenderEncode30s)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoopbackHttp30s)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoopbackHttpSmallRender)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
