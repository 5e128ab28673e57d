// "/v1/renders": validation, engine warm-up, and audio that follows the body.
#include "ServiceTestSupport.h"

#include <chrono>
#include <future>
#include <thread>

namespace marlune::service::testing {
namespace {

class RenderTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        startService();
    }

    Wav render(const json& body) { return decodeWav(renderWav(body)); }
};

TEST_F(RenderTest, MalformedOrIllTypedBodiesAnswer400WithAnError) {
    struct Case {
        const char* label;
        std::function<void(json&)> spoil;
    };
    const std::vector<Case> cases{
        {"missing notes", [](json& b) { b.erase("notes"); }},
        {"notes not an array", [](json& b) { b["notes"] = "C4"; }},
        {"note not an object", [](json& b) { b["notes"].push_back(60); }},
        {"pitch a string", [](json& b) { b["notes"][0]["pitch"] = "69"; }},
        {"pitch fractional", [](json& b) { b["notes"][0]["pitch"] = 69.5; }},
        {"velocity missing", [](json& b) { b["notes"][0].erase("velocity"); }},
        {"non-finite start (null)", [](json& b) { b["notes"][0]["start"] = nullptr; }},
        {"non-finite total_duration (null)", [](json& b) { b["total_duration"] = nullptr; }},
        {"negative total_duration", [](json& b) { b["total_duration"] = -1.0; }},
        {"out_sr fractional", [](json& b) { b["out_sr"] = 44100.5; }},
        {"out_sr missing", [](json& b) { b.erase("out_sr"); }},
        {"bend without semis", [](json& b) { b["bends"] = json::array({{{"time", 0.0}}}); }},
        {"adsr missing release", [](json& b) { b["adsr"].erase("release"); }},
        {"adsr not an object", [](json& b) { b["adsr"] = 1; }},
        {"loudness gain null", [](json& b) { b["loudness"]["gain_db"] = nullptr; }},
        {"pmi a number", [](json& b) { b["pmi"] = 3; }},
        {"pmi unknown", [](json& b) { b["pmi"] = "theremin"; }},
    };
    const std::string token = signedInToken();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        json body = singleNoteBody();
        c.spoil(body);
        auto res = postJson("/v1/renders", body.dump(), token);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400);
        const auto reply = nlohmann::json::parse(res->body, nullptr, false);
        ASSERT_TRUE(reply.is_object());
        EXPECT_TRUE(reply["error"].is_string() && !reply["error"].get<std::string>().empty());
    }
    for (const std::string raw : {"{\"notes\": [", "", "[1,2]"}) {
        SCOPED_TRACE(raw);
        EXPECT_EQ(postJson("/v1/renders", raw, token)->status, 400);
    }
}

TEST_F(RenderTest, PhraseBodyWithoutPmiAndWholeTakeBodyWithExtraMembersBothRender) {
    json take = singleNoteBody();
    take["pmi"] = "nylon-guitar";
    take["chunk_at_silence"] = true;
    take["chunk_gap_ms"] = 250.0;
    EXPECT_FALSE(render(take).samples.empty());
    EXPECT_FALSE(render(singleNoteBody()).samples.empty());
}

TEST_F(RenderTest, WavIsMono16BitAtOutSrAndAsLongAsDurationPlusTail) {
    struct Case {
        int outSr;
        double totalDuration;
        double tailMs;
    };
    const std::vector<Case> cases{{48000, 1.0, 0.0}, {44100, 0.5, 300.0}, {8000, 0.05, 0.0}, {96000, 0.3, 1000.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.outSr) + " Hz, " + std::to_string(c.totalDuration) + " s");
        json body = renderBody({{0.0, c.totalDuration / 2, 60, 100}}, c.totalDuration, c.outSr);
        body["reverb_tail_ms"] = c.tailMs;
        const Wav wav = render(body);
        EXPECT_EQ(wav.channels, 1);
        EXPECT_EQ(wav.bitsPerSample, 16);
        EXPECT_EQ(wav.sampleRate, c.outSr);
        const double expected = (c.totalDuration + c.tailMs / 1000.0) * c.outSr;
        EXPECT_NEAR(static_cast<double>(wav.samples.size()), expected, 1.0);
        EXPECT_EQ(wav.declaredDataBytes, wav.samples.size() * 2);
    }
}

TEST_F(RenderTest, PitchFollowsNoteNumberAndBends) {
    struct Case {
        const char* label;
        int pitch;
        json bends;
        double expectedHz;
    };
    const std::vector<Case> cases{
        {"A4", kA4, json::array(), 440.0},
        {"A3", 57, json::array(), 220.0},
        {"C5", 72, json::array(), midiHz(72)},
        {"A4 bent up an octave", kA4, json::array({{{"time", 0.0}, {"semis", 12.0}}}), 880.0},
        {"A4 bent down two semitones", kA4, json::array({{{"time", 0.0}, {"semis", -2.0}}}), midiHz(67)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        json body = singleNoteBody(c.pitch);
        body["bends"] = c.bends;
        const Wav wav = render(body);
        EXPECT_NEAR(estimatePitchHz(wav.samples, 0.3, 0.1), c.expectedHz, c.expectedHz * 0.005);
    }
}

TEST_F(RenderTest, BendPointsTakeEffectAtTheirTime) {
    json body = singleNoteBody(kA4, 1.0, 1.0);
    body["bends"] = json::array({{{"time", 0.5}, {"semis", 12.0}}});
    const Wav wav = render(body);
    EXPECT_NEAR(estimatePitchHz(wav.samples, 0.2, 0.1), 440.0, 3.0);
    EXPECT_NEAR(estimatePitchHz(wav.samples, 0.7, 0.1), 880.0, 6.0);
}

TEST_F(RenderTest, VibratoModulatesPitchOnlyWhenDepthIsGiven) {
    auto pitchSpread = [this](const json& body) {
        const Wav wav = render(body);
        double low = 1e9, high = 0.0;
        for (double t = 0.2; t < 0.9; t += 0.02) {
            const double hz = estimatePitchHz(wav.samples, t, 0.02);
            low = std::min(low, hz);
            high = std::max(high, hz);
        }
        return high - low;
    };
    json plain = singleNoteBody(kA4, 1.0, 1.0);
    json vibrato = plain;
    vibrato["vibrato_depth"] = json::array({{{"time", 0.0}, {"depth", 1.0}}});
    vibrato["vibrato_max_semis"] = 1.0;
    vibrato["vibrato_speed"] = 5.0;
    EXPECT_LT(pitchSpread(plain), 3.0);
    // One semitone either way around 440 Hz spans about 50 Hz.
    EXPECT_GT(pitchSpread(vibrato), 35.0);
}

TEST_F(RenderTest, EachInstrumentHasItsOwnTimbreAtTheSamePitch) {
    std::vector<std::pair<std::string, std::vector<float>>> renders;
    for (const char* pmi : {"", "nylon-guitar", "felt-piano", "cello-ensemble"}) {
        json body = singleNoteBody();
        if (*pmi != '\0')
            body["pmi"] = pmi;
        const Wav wav = render(body);
        SCOPED_TRACE(pmi);
        EXPECT_NEAR(estimatePitchHz(wav.samples, 0.1, 0.05), 440.0, 3.0);
        renders.emplace_back(pmi, wav.samples);
    }
    for (std::size_t a = 0; a < renders.size(); ++a)
        for (std::size_t b = a + 1; b < renders.size(); ++b)
            EXPECT_NE(renders[a].second, renders[b].second) << renders[a].first << " vs " << renders[b].first;
}

TEST_F(RenderTest, SameBodyGivesTheSameBytesAcrossRequestsAndServices) {
    json body = renderBody({{0.0, 0.4, 60, 90}, {0.2, 0.5, 64, 70}}, 1.0);
    body["pmi"] = "cello-ensemble";
    body["reverb_tail_ms"] = 200.0;
    body["bends"] = json::array({{{"time", 0.3}, {"semis", 1.5}}});
    body["vibrato_depth"] = json::array({{{"time", 0.0}, {"depth", 0.6}}});
    const std::string first = renderWav(body);
    EXPECT_EQ(renderWav(body), first);

    RenderService other;
    ASSERT_TRUE(other.start());
    httplib::Client c("127.0.0.1", other.port());
    auto res = c.Post("/v1/renders", bearer(other.issueTokens().accessToken), body.dump(), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, first);
}

TEST_F(RenderTest, LoudnessFollowsVelocityCurveAndGain) {
    auto sustainRms = [this](int velocity, double velCurve, double gainDb) {
        json body = renderBody({{0.0, 1.0, kA4, velocity}}, 1.0);
        body["loudness"] = {{"gain_db", gainDb}, {"vel_curve", velCurve}};
        return rms(render(body).samples, 0.3, 0.8);
    };
    const double reference = sustainRms(127, 1.0, 0.0);
    struct Case {
        const char* label;
        int velocity;
        double velCurve;
        double gainDb;
        double expectedRatio;
    };
    const std::vector<Case> cases{
        {"half velocity, linear curve", 64, 1.0, 0.0, 64.0 / 127.0},
        {"half velocity, square curve", 64, 2.0, 0.0, std::pow(64.0 / 127.0, 2.0)},
        {"half velocity, flat curve", 64, 0.0, 0.0, 1.0},
        {"full velocity, -12 dB", 127, 1.0, -12.0, std::pow(10.0, -12.0 / 20.0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_NEAR(sustainRms(c.velocity, c.velCurve, c.gainDb) / reference, c.expectedRatio, 0.02);
    }
}

TEST_F(RenderTest, EnvelopeShapesAttackSustainAndRelease) {
    json body = renderBody({{0.1, 0.5, kA4, 100}}, 1.0);
    body["adsr"] = {{"attack", 0.1}, {"decay", 0.1}, {"sustain", 0.5}, {"release", 0.1}, {"decay_curve", 1.0}};
    const Wav wav = render(body);
    EXPECT_LT(rms(wav.samples, 0.0, 0.1), 1e-4) << "silent before the note";
    const double rising = rms(wav.samples, 0.11, 0.13);
    const double peak = rms(wav.samples, 0.19, 0.21);
    const double sustain = rms(wav.samples, 0.4, 0.55);
    EXPECT_LT(rising, 0.5 * peak);
    EXPECT_NEAR(sustain / peak, 0.5, 0.05);
    EXPECT_LT(rms(wav.samples, 0.61, 0.63), sustain);
    EXPECT_LT(rms(wav.samples, 0.71, 1.0), 1e-4) << "silent once the release has run out";
}

TEST_F(RenderTest, DecayCurveChangesHowFastTheLevelFalls) {
    auto levelMidDecay = [this](double curve) {
        json body = renderBody({{0.0, 1.0, kA4, 100}}, 1.0);
        body["adsr"] = {{"attack", 0.0}, {"decay", 0.4}, {"sustain", 0.2}, {"release", 0.05}, {"decay_curve", curve}};
        return rms(render(body).samples, 0.18, 0.22);
    };
    EXPECT_LT(levelMidDecay(3.0), 0.8 * levelMidDecay(1.0));
    EXPECT_GT(levelMidDecay(0.5), 1.1 * levelMidDecay(1.0));
}

TEST_F(RenderTest, ReverbTailRingsOnAfterTheNoteAndTheLimiterKeepsChordsInRange) {
    json dry = renderBody({{0.0, 0.3, kA4, 100}}, 0.4);
    dry["adsr"]["release"] = 0.01;
    json wet = dry;
    wet["reverb_tail_ms"] = 800.0;
    EXPECT_LT(rms(render(dry).samples, 0.35, 0.4), 1e-4);
    EXPECT_GT(rms(render(wet).samples, 0.45, 0.6), 1e-3);

    std::vector<NoteArgs> chord;
    for (int pitch = 48; pitch < 72; ++pitch)
        chord.push_back({0.0, 0.5, pitch, 127});
    json loud = renderBody(chord, 0.5);
    loud["loudness"]["gain_db"] = 24.0;
    const Wav wav = render(loud);
    const float peak = *std::max_element(wav.samples.begin(), wav.samples.end(),
                                         [](float a, float b) { return std::fabs(a) < std::fabs(b); });
    EXPECT_LE(std::fabs(peak), 1.0f);
    EXPECT_GT(std::fabs(peak), 0.9f) << "limited, not silenced";
}

TEST_F(RenderTest, ConcurrentRendersAllSucceedWithIdenticalAudio) {
    const json body = renderBody({{0.0, 0.5, 64, 100}}, 0.6);
    const std::string token = signedInToken();
    const std::string expected = renderWav(body);
    std::vector<std::future<std::string>> replies;
    for (int i = 0; i < 8; ++i)
        replies.push_back(std::async(std::launch::async, [&] {
            auto res = postJson("/v1/renders", body.dump(), token);
            return res && res->status == 200 ? res->body : std::string();
        }));
    for (auto& reply : replies)
        EXPECT_EQ(reply.get(), expected);
}

class EngineTest : public ServiceTest {};

TEST_F(EngineTest, ColdEngineAnswers503UntilWarmedForTheConfiguredTime) {
    options.coldStartSeconds = 0.3;
    startService();
    const std::string token = signedInToken();
    auto ready = [&] { return json::parse(getAuth("/v1/renders/warmup-status", token)->body).value("ready", true); };

    EXPECT_FALSE(ready());
    auto warm = postJson("/v1/renders/warmup", "{}", token);
    ASSERT_TRUE(warm);
    EXPECT_EQ(warm->status, 202);
    EXPECT_EQ(json::parse(warm->body).value("status", ""), "warming");
    EXPECT_EQ(postJson("/v1/renders", singleNoteBody().dump(), token)->status, 503);

    bool warmed = false;
    for (int attempt = 0; attempt < 100 && !warmed; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        warmed = ready();
    }
    ASSERT_TRUE(warmed);
    EXPECT_EQ(postJson("/v1/renders", singleNoteBody().dump(), token)->status, 200);
}

TEST_F(EngineTest, FirstRenderAlsoStartsTheWarmUp) {
    options.coldStartSeconds = 0.2;
    startService();
    const std::string token = signedInToken();
    EXPECT_EQ(postJson("/v1/renders", singleNoteBody().dump(), token)->status, 503);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(postJson("/v1/renders", singleNoteBody().dump(), token)->status, 200);
}

TEST_F(EngineTest, RenderLatencyModelHoldsTheReplyBack) {
    options.renderLatencyMs = 150.0;
    startService();
    const auto started = std::chrono::steady_clock::now();
    renderWav(singleNoteBody(kA4, 0.1, 0.1));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(150));
}

}  // namespace
}  // namespace marlune::service::testing
