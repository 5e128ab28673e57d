// Control curves of a published take: the request the curve worker sends,
// how it reads each kind of reply, and how takes arriving mid-fetch coalesce.

#include "AccountTestSupport.h"

using namespace marlune::test;
namespace svc = marlune::service;

namespace
{
    using Processor = MarluneInstrumentProcessor;
    const std::string curvesPath = "/api/curves";

    Processor::CurveInput takeAt (int pitch)
    {
        Processor::CurveInput input;
        input.notes = { { 0.0, 0.5, pitch, 100 }, { 0.5, 0.4, pitch + 2, 90 } };
        input.bends = { { 0.1, 0.5f } };
        input.mods = { { 0.2, 0.25f } };
        input.totalDuration = 1.2;
        return input;
    }

    /** Hands a take to the curve worker as the whole-take worker does. */
    void publish (Processor& p, Processor::CurveInput input)
    {
        {
            const juce::ScopedLock cl (p.curveInputMutex);
            p.curveInput = std::move (input);
        }
        ++p.curveRequestCount;
        p.curveEvent.signal();
    }

    /** Marks the stored curves so that the next stored outcome can be seen. */
    void markPending (Processor& p)
    {
        Processor::CurveData pending;
        pending.error = "pending";
        const juce::ScopedLock cl (p.curvesLock);
        p.curves = pending;
    }

    bool fetchEnds (Processor& p)
    {
        return eventually ([&p] { return p.getCurves().error != "pending"; });
    }

    template <typename T>
    std::string listOf (const std::vector<T>& v)
    {
        std::string out;
        for (const auto x : v)
            out += (out.empty() ? "" : ",") + juce::String ((double) x).toStdString();
        return out;
    }

    std::string describe (const Processor::CurveData& c)
    {
        return std::string (c.ok ? "ok" : "failed") + " error='" + c.error.toStdString() + "' rate="
             + juce::String (c.frameRate).toStdString() + " f0=[" + listOf (c.f0Hz) + "] raw=[" + listOf (c.rawLoudnessDb)
             + "] model=[" + listOf (c.modelLoudnessDb) + "] gate=[" + listOf (c.gateMask) + "]";
    }

    class CurveFetch : public ServiceTest {};
}

//==============================================================================
TEST_F (CurveFetch, ATakeWithoutNotesSendsNothingAndResetsTheCurves)
{
    markPending (*processor);
    publish (*processor, takeAt (60));
    ASSERT_TRUE (fetchEnds (*processor));
    ASSERT_TRUE (processor->getCurves().ok);

    markPending (*processor);
    auto empty = takeAt (60);
    empty.notes.clear();
    publish (*processor, empty);
    ASSERT_TRUE (fetchEnds (*processor));

    Processor::CurveData fresh;
    EXPECT_EQ (describe (processor->getCurves()), describe (fresh));
    EXPECT_EQ (processor->getCurves().frameRate, 250.0);
    EXPECT_EQ (service.requestsTo (curvesPath).size(), 1u);
}

TEST_F (CurveFetch, TheServiceCurvesArriveFrameByFrame)
{
    markPending (*processor);
    publish (*processor, takeAt (57));
    ASSERT_TRUE (fetchEnds (*processor));

    const auto c = processor->getCurves();
    EXPECT_TRUE (c.ok) << describe (c);
    EXPECT_EQ (c.error, "");
    EXPECT_EQ (c.frameRate, 250.0);
    EXPECT_FALSE (c.f0Hz.empty());
    EXPECT_EQ (c.rawLoudnessDb.size(), c.f0Hz.size());
    EXPECT_EQ (c.modelLoudnessDb.size(), c.f0Hz.size());
    EXPECT_EQ (c.gateMask.size(), c.f0Hz.size());
    for (const auto g : c.gateMask)
        EXPECT_TRUE (g == 0 || g == 1);
}

TEST_F (CurveFetch, BodyIsTheTakeWithoutInstrumentOrAuthorization)
{
    signInDirectly();
    {
        const juce::ScopedLock ll (processor->libraryLock);
        processor->selectedPmi = "felt-piano";
    }
    processor->use48kModel = false;
    processor->muted = true;
    processor->chunkAtSilence = true;

    markPending (*processor);
    publish (*processor, takeAt (64));
    ASSERT_TRUE (fetchEnds (*processor));

    const auto requests = service.requestsTo (curvesPath);
    ASSERT_EQ (requests.size(), 1u);
    EXPECT_EQ (requests[0].method, "POST");
    EXPECT_FALSE (requests[0].hasHeader ("Authorization"));
    EXPECT_EQ (requests[0].header ("Content-Type"), "application/json");

    const auto body = parseJson (requests[0].body);
    ASSERT_TRUE (body.isObject()) << requests[0].body;
    EXPECT_EQ (memberNames (body).joinIntoString (","),
               "model,notes,bends,vibrato_speed,vibrato_depth,vibrato_max_semis,adsr,loudness,"
               "total_duration,normalize_loudness,timbre_dynamics,loudness_floor_db,gate_db");
    EXPECT_EQ (body["model"].toString(), "tf48k"); // whatever the model switch says
    EXPECT_FALSE (requests[0].body.find ("felt-piano") != std::string::npos);
    EXPECT_EQ ((double) body["total_duration"], 1.2);
    EXPECT_NEAR ((double) body["adsr"]["decay"], 0.15, 1e-6); // muted

    const auto* notes = body["notes"].getArray();
    ASSERT_NE (notes, nullptr);
    ASSERT_EQ (notes->size(), 2);
    EXPECT_EQ ((int) (*notes)[0]["pitch"], 64);
    EXPECT_EQ ((int) (*notes)[1]["pitch"], 66);
    EXPECT_EQ ((int) (*notes)[1]["velocity"], 90);
    EXPECT_EQ ((double) (*notes)[1]["start"], 0.5);
    EXPECT_EQ ((double) (*notes)[1]["duration"], 0.4);
}

TEST_F (CurveFetch, TakesPublishedDuringAFetchCauseOneMoreFetchWithTheNewest)
{
    service.delayReplies (curvesPath, 500);

    publish (*processor, takeAt (60));
    ASSERT_TRUE (eventually ([this] { return service.requestsTo (curvesPath).size() == 1; }));

    publish (*processor, takeAt (70));
    publish (*processor, takeAt (72));
    publish (*processor, takeAt (74));

    ASSERT_TRUE (eventually ([this] { return service.requestsTo (curvesPath).size() == 2; }));
    ASSERT_TRUE (eventually ([this] { return processor->getCurves().ok; }));
    pumpMessages (300); // room for a third fetch, were there one

    const auto requests = service.requestsTo (curvesPath);
    ASSERT_EQ (requests.size(), 2u);
    EXPECT_EQ ((int) parseJson (requests[0].body)["notes"][0]["pitch"], 60);
    EXPECT_EQ ((int) parseJson (requests[1].body)["notes"][0]["pitch"], 74);
}

//==============================================================================
namespace
{
    struct CurveReply
    {
        const char* name;
        std::function<juce::String (svc::RenderService&)> arrange; // returns the base address to use
        std::function<Processor::CurveData (const juce::String& strippedBase)> expected;
    };

    void PrintTo (const CurveReply& c, std::ostream* os) { *os << c.name; }

    std::function<juce::String (svc::RenderService&)> replying (int status, std::string body)
    {
        return [status, body] (svc::RenderService& s)
        {
            s.replyWith (curvesPath, status, body);
            return toJuce (s.baseUrl());
        };
    }

    Processor::CurveData parsed (double rate, std::vector<float> f0 = {}, std::vector<float> raw = {},
                                 std::vector<float> model = {}, std::vector<juce::uint8> gate = {})
    {
        Processor::CurveData c;
        c.ok = true;
        c.frameRate = rate;
        c.f0Hz = std::move (f0);
        c.rawLoudnessDb = std::move (raw);
        c.modelLoudnessDb = std::move (model);
        c.gateMask = std::move (gate);
        return c;
    }

    Processor::CurveData failed (const juce::String& error)
    {
        Processor::CurveData c;
        c.error = error;
        return c;
    }

    const CurveReply curveReplies[] = {
        { "EmptyObject", replying (200, "{}"), [] (auto&) { return parsed (0.0); } },
        { "GateMaskTruthValues", replying (200, "{\"gate_mask\":[true,false,1,0]}"),
          [] (auto&) { return parsed (0.0, {}, {}, {}, { 1, 0, 1, 0 }); } },
        { "F0NotAnArray", replying (200, "{\"frame_rate\":100,\"f0_hz\":440}"), [] (auto&) { return parsed (100.0); } },
        { "EveryMember",
          replying (200, "{\"extra\":[9],\"frame_rate\":200,\"f0_hz\":[440,220.5],\"raw_loudness_db\":[-12,-6.5],"
                         "\"model_loudness_db\":[-30],\"gate_mask\":[false,true]}"),
          [] (auto&) { return parsed (200.0, { 440.0f, 220.5f }, { -12.0f, -6.5f }, { -30.0f }, { 0, 1 }); } },
        { "ArrayNotObject", replying (200, "[1,2,3]"), [] (auto&) { return failed ("Could not parse the curves response."); } },
        { "NotJson", [] (svc::RenderService& s) { s.sendMalformedJson (curvesPath); return toJuce (s.baseUrl()); },
          [] (auto&) { return failed ("Could not parse the curves response."); } },
        { "Status500", [] (svc::RenderService& s) { s.failWithStatus (curvesPath, 500); return toJuce (s.baseUrl()); },
          [] (auto&) { return failed ("Backend returned HTTP 500"); } },
        { "Status202", replying (202, "{\"frame_rate\":1}"), [] (auto&) { return failed ("Backend returned HTTP 202"); } },
        { "Unreachable", [] (svc::RenderService&) { return closedLoopbackBase() + "///"; },
          [] (const juce::String& b) { return failed ("Could not reach the Marlune engine at " + b + "."); } },
        { "Dropped", [] (svc::RenderService& s) { s.dropConnections (curvesPath); return toJuce (s.baseUrl()); },
          [] (const juce::String& b) { return failed ("Could not reach the Marlune engine at " + b + "."); } },
    };

    class CurveReplies : public ServiceTest, public ::testing::WithParamInterface<CurveReply> {};
}

TEST_P (CurveReplies, StoreWhatTheReplyHolds)
{
    const auto& c = GetParam();
    const auto base = c.arrange (service);
    processor->setBackendUrl (base);

    const auto statusBefore = processor->getStatus();

    markPending (*processor);
    publish (*processor, takeAt (60));
    ASSERT_TRUE (fetchEnds (*processor));

    auto stripped = base;
    while (stripped.endsWithChar ('/'))
        stripped = stripped.dropLastCharacters (1);
    EXPECT_EQ (describe (processor->getCurves()), describe (c.expected (stripped)));
    EXPECT_EQ (processor->getStatus(), statusBefore); // curves never reach the status line
    EXPECT_EQ (service.requestsTo (curvesPath).size(), c.name == std::string ("Unreachable") ? 0u : 1u); // never retried
}

INSTANTIATE_TEST_SUITE_P (Curve, CurveReplies, ::testing::ValuesIn (curveReplies),
                          [] (const auto& info) { return std::string (info.param.name); });
