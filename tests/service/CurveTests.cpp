// "/api/curves": frame-by-frame f0, loudness and gate of a performance.
#include "ServiceTestSupport.h"

namespace marlune::service::testing {
namespace {

class CurveTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        startService();
    }

    // The curve body: the render body without the render-only members.
    static json curveBody(const std::vector<NoteArgs>& notes, double totalDuration) {
        json body = renderBody(notes, totalDuration);
        for (const char* key : {"pmi", "reverb_tail_ms", "mode", "out_sr", "noise_db", "dry"})
            body.erase(key);
        return body;
    }

    json fetch(const json& body) {
        auto res = postJson("/api/curves", body.dump());
        EXPECT_TRUE(res);
        EXPECT_EQ(res->status, 200) << res->body;
        return json::parse(res->body);
    }
};

TEST_F(CurveTest, ArraysHaveOneEntryPerFrameAtTwoHundredFiftyHertz) {
    for (double duration : {0.1, 1.0, 2.5}) {
        SCOPED_TRACE(duration);
        const json reply = fetch(curveBody({{0.0, duration / 2, 60, 100}}, duration));
        EXPECT_EQ(reply.value("frame_rate", 0.0), 250.0);
        const auto frames = static_cast<std::size_t>(std::lround(duration * 250));
        for (const char* key : {"f0_hz", "raw_loudness_db", "model_loudness_db", "gate_mask"}) {
            ASSERT_TRUE(reply[key].is_array()) << key;
            EXPECT_EQ(reply[key].size(), frames) << key;
        }
        for (const auto& flag : reply["gate_mask"])
            EXPECT_TRUE(flag.is_boolean());
    }
}

TEST_F(CurveTest, CurvesFollowTheNotes) {
    json body = curveBody({{0.2, 0.4, kA4, 100}}, 1.0);
    body["adsr"]["release"] = 0.05;
    body["bends"] = json::array({{{"time", 0.4}, {"semis", 12.0}}});
    const json reply = fetch(body);
    auto frameAt = [](double seconds) { return static_cast<std::size_t>(seconds * 250); };

    EXPECT_EQ(reply["f0_hz"][frameAt(0.1)].get<double>(), 0.0);
    EXPECT_NEAR(reply["f0_hz"][frameAt(0.3)].get<double>(), 440.0, 0.5);
    EXPECT_NEAR(reply["f0_hz"][frameAt(0.5)].get<double>(), 880.0, 1.0);
    EXPECT_FALSE(reply["gate_mask"][frameAt(0.1)].get<bool>());
    EXPECT_TRUE(reply["gate_mask"][frameAt(0.3)].get<bool>());
    EXPECT_FALSE(reply["gate_mask"][frameAt(0.9)].get<bool>());
    EXPECT_GT(reply["raw_loudness_db"][frameAt(0.3)].get<double>(), reply["raw_loudness_db"][frameAt(0.9)].get<double>());
    EXPECT_GE(reply["model_loudness_db"][frameAt(0.9)].get<double>(), body["loudness_floor_db"].get<double>());
}

TEST_F(CurveTest, NeedsNoTokenAndRejectsBadBodies) {
    EXPECT_EQ(postJson("/api/curves", "{oops")->status, 400);
    json missingNotes = curveBody({}, 1.0);
    missingNotes.erase("notes");
    EXPECT_EQ(postJson("/api/curves", missingNotes.dump())->status, 400);
    EXPECT_EQ(postJson("/api/curves", curveBody({}, 1.0).dump())->status, 200);
}

}  // namespace
}  // namespace marlune::service::testing
