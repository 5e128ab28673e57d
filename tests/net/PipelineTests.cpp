// The render pipeline: request bodies, job making, the whole-take worker and
// the phrase workers, end to end against the local render service.

#include "NetFixture.h"
#include "DdspClient.h"
#include "PhraseJobs.h"
#include "RenderBody.h"

using namespace marlune;
using namespace marlune::test;
using Processor = MarluneInstrumentProcessor;

namespace
{
    juce::var parse (const juce::String& text)
    {
        juce::var v;
        EXPECT_TRUE (juce::JSON::parse (text, v).wasOk()) << text;
        return v;
    }

    juce::StringArray memberNames (const juce::var& object)
    {
        juce::StringArray names;
        if (auto* o = object.getDynamicObject())
            for (const auto& p : o->getProperties())
                names.add (p.name.toString());
        return names;
    }

    struct Performance
    {
        std::vector<Processor::NoteEv> notes { { 0.0, 0.5, 60, 127, 0, false }, { 0.5, 0.25, 62, 1, 24000, false } };
        std::vector<Processor::BendEv> bends { { 0.0, 0.0f }, { 0.25, 1.0f } };
        std::vector<Processor::BendEv> mods { { 0.0, 0.3f } };
    };

    juce::String bodyFor (BodyKind kind, const BodySettings& settings, const juce::String& pmi = "felt-piano")
    {
        static const Performance perf;
        return writeRenderBody (kind, { &perf.notes, nullptr, perf.bends, perf.mods, 1.5 }, settings, pmi);
    }

    BodySettings defaultSettings()
    {
        Processor p;
        return BodySettings::from (p);
    }
}

//==============================================================================
TEST (RenderBody, MembersInOrderForEachVariant)
{
    auto settings = defaultSettings();

    const juce::StringArray common { "notes", "bends", "vibrato_speed", "vibrato_depth", "vibrato_max_semis" };
    struct Case { BodyKind kind; bool chunk; juce::StringArray expected; };
    const Case cases[] = {
        { BodyKind::wholeTake, true,  { "model", "pmi", "notes", "bends", "vibrato_speed", "vibrato_depth", "vibrato_max_semis", "reverb_tail_ms", "adsr", "loudness", "mode", "total_duration", "out_sr", "normalize_loudness", "timbre_dynamics", "noise_db", "loudness_floor_db", "gate_db", "dry", "chunk_at_silence", "chunk_gap_ms" } },
        { BodyKind::wholeTake, false, { "model", "pmi", "notes", "bends", "vibrato_speed", "vibrato_depth", "vibrato_max_semis", "reverb_tail_ms", "adsr", "loudness", "mode", "total_duration", "out_sr", "normalize_loudness", "timbre_dynamics", "noise_db", "loudness_floor_db", "gate_db", "dry" } },
        { BodyKind::phrase,    true,  { "model", "notes", "bends", "vibrato_speed", "vibrato_depth", "vibrato_max_semis", "reverb_tail_ms", "adsr", "loudness", "mode", "total_duration", "out_sr", "normalize_loudness", "timbre_dynamics", "noise_db", "loudness_floor_db", "gate_db", "dry" } },
        { BodyKind::curves,    true,  { "model", "notes", "bends", "vibrato_speed", "vibrato_depth", "vibrato_max_semis", "adsr", "loudness", "total_duration", "normalize_loudness", "timbre_dynamics", "loudness_floor_db", "gate_db" } },
    };

    for (const auto& c : cases)
    {
        settings.chunkAtSilence = c.chunk;
        const auto body = parse (bodyFor (c.kind, settings));
        EXPECT_EQ (memberNames (body), c.expected) << memberNames (body).joinIntoString (",");
        EXPECT_EQ (memberNames (body["adsr"]), (juce::StringArray { "attack", "decay", "sustain", "release", "decay_curve" }));
        EXPECT_EQ (memberNames (body["loudness"]), (juce::StringArray { "gain_db", "vel_curve" }));
        EXPECT_EQ (body["model"].toString(), "tf48k");
    }
}

TEST (RenderBody, ValuesTypesAndConversions)
{
    auto settings = defaultSettings();
    settings.attack = 0.01f;
    const auto text = bodyFor (BodyKind::wholeTake, settings);
    const auto body = parse (text);

    EXPECT_EQ (body["pmi"].toString(), "felt-piano");
    EXPECT_EQ (body["mode"].toString(), "ddsp");
    EXPECT_TRUE ((bool) body["dry"]);
    EXPECT_TRUE ((bool) body["chunk_at_silence"]);
    EXPECT_EQ ((double) body["chunk_gap_ms"], 250.0);
    EXPECT_EQ ((double) body["total_duration"], 1.5);

    // Integers stay integers, velocities are sent as played.
    const auto& notes = *body["notes"].getArray();
    ASSERT_EQ (notes.size(), 2);
    EXPECT_TRUE (notes[0]["pitch"].isInt() || notes[0]["pitch"].isInt64());
    EXPECT_EQ ((int) notes[0]["velocity"], 127);
    EXPECT_EQ ((int) notes[1]["velocity"], 1);
    EXPECT_TRUE (body["out_sr"].isInt() || body["out_sr"].isInt64());
    EXPECT_TRUE (text.contains ("\"start\": 0.0"));

    // Floats are widened: the text carries the float's own value.
    EXPECT_TRUE (text.contains ("\"attack\": 0.009999999776483")) << text;
    EXPECT_NEAR ((double) body["adsr"]["attack"], (double) 0.01f, 1.0e-15);

    EXPECT_EQ (memberNames ((*body["bends"].getArray())[0]), (juce::StringArray { "time", "semis" }));
    EXPECT_EQ (memberNames ((*body["vibrato_depth"].getArray())[0]), (juce::StringArray { "time", "depth" }));
}

TEST (RenderBody, NumbersNeverCarryMoreThanFifteenDecimals)
{
    for (double v : { 1.0 / 3.0, 1.0e-20, 123456.789012345678, -0.0, 1.0e300 })
    {
        const auto s = JsonWriter::formatDouble (v);
        const auto decimals = s.fromFirstOccurrenceOf (".", false, false);
        EXPECT_LE (decimals.length(), 15) << s;
        EXPECT_TRUE (s.containsChar ('.')) << s;
        EXPECT_NEAR (s.getDoubleValue(), v, std::abs (v) * 1.0e-12 + 1.0e-15) << s;
    }
}

TEST (RenderBody, NonFiniteSettingsStillGiveValidJson)
{
    auto settings = defaultSettings();
    settings.decay = std::numeric_limits<float>::quiet_NaN();
    settings.vibratoSpeedHz = std::numeric_limits<float>::infinity();
    settings.sampleRate = std::numeric_limits<double>::quiet_NaN();

    const auto body = parse (bodyFor (BodyKind::wholeTake, settings));
    EXPECT_TRUE (body["adsr"]["decay"].isVoid());
    EXPECT_TRUE (body["vibrato_speed"].isVoid());
    EXPECT_EQ ((int) body["out_sr"], 8000);
}

TEST (RenderBody, MutedDecayAndOutputRate)
{
    auto settings = defaultSettings();
    settings.decay = 3.0f;

    settings.muted = true;
    EXPECT_NEAR ((double) parse (bodyFor (BodyKind::phrase, settings))["adsr"]["decay"], (double) 0.15f, 1.0e-15);
    settings.muted = false;
    EXPECT_EQ ((double) parse (bodyFor (BodyKind::phrase, settings))["adsr"]["decay"], 3.0);

    struct Case { double rate; int expected; };
    for (const auto c : { Case { 44100.0, 44100 }, Case { 96000.0, 96000 }, Case { 4000.0, 8000 },
                          Case { 8000.4, 8000 }, Case { 8000.6, 8001 }, Case { 48000.5, 48001 } })
        EXPECT_EQ (outputSampleRate (c.rate), c.expected) << c.rate;
}

//==============================================================================
namespace
{
    Processor::NoteEv note (double start, double duration, int pitch, double rate = 48000.0, bool open = false)
    {
        return { start, duration, pitch, 100, (juce::int64) std::llround (start * rate), open };
    }
}

TEST (PhraseJobs, ThreePhrasesAtTheDocumentedSpans)
{
    const double rate = 48000.0;
    const std::vector<Processor::NoteEv> notes { note (0.0, 0.2, 60), note (0.5, 0.2, 62), note (2.0, 0.2, 64) };
    const std::vector<Processor::BendEv> bends { { 0.0, 0.0f } }, mods { { 0.0, 0.0f } };
    const juce::int64 cuts[] = { 24000, 96000 };
    const juce::int64 end = 3 * 48000;

    juce::int32 next = 0;
    auto a = jobs::makePhraseJob (notes, bends, mods, next, 0, cuts[0], 0, rate);
    auto b = jobs::makePhraseJob (notes, bends, mods, next, cuts[0], cuts[1], 0, rate);
    auto c = jobs::makePhraseJob (notes, bends, mods, next, cuts[1], end, 0, rate);
    ASSERT_TRUE (a && b && c);

    struct Expect { const Processor::RenderJob& job; juce::int64 start; double length; double firstNoteStart; };
    for (const auto& e : { Expect { *a, 0, 0.5, 0.0 }, Expect { *b, 24000, 1.2, 0.0 }, Expect { *c, 96000, 1.0, 0.0 } })
    {
        EXPECT_EQ (e.job.startSample, e.start);
        EXPECT_NEAR (e.job.totalDuration, e.length, 1.0e-9);
        ASSERT_EQ (e.job.notes.size(), 1u);
        EXPECT_NEAR (e.job.notes[0].start, e.firstNoteStart, 1.0e-9);
        EXPECT_FALSE (e.job.notes[0].open);
    }
    EXPECT_EQ (next, 3);
    EXPECT_FALSE (jobs::makePhraseJob (notes, bends, mods, next, end, end + 100, 0, rate)); // all consumed
}

TEST (PhraseJobs, SpanLengthsTailsAndOpenNotes)
{
    const double rate = 48000.0;
    struct Case { const char* name; std::vector<Processor::NoteEv> notes; juce::int64 a, b; double length; double lastDuration; };
    const Case cases[] = {
        { "tail of one second after the last note", { note (0.0, 1.0, 60) }, 0, 5 * 48000, 2.0, 1.0 },
        { "cut 0.4 s after the last note",          { note (0.0, 1.0, 60) }, 0, (juce::int64) (1.4 * 48000), 1.4, 1.0 },
        { "short note at the span start",           { note (0.0, 0.01, 60) }, 0, 10 * 48000, 1.01, 0.01 },
        { "0.05 s floor",                           { note (0.0, 0.01, 60) }, 0, 960, 0.05, 0.01 },
        { "open note lasts to the span end",        { note (0.5, 0.0, 60, rate, true) }, 0, 2 * 48000, 2.0, 1.5 },
        { "open note at the very end",              { note (1.9999, 0.0, 60, rate, true) }, 0, 2 * 48000, 2.0, 0.001 },
    };
    for (const auto& c : cases)
    {
        juce::int32 next = 0;
        auto job = jobs::makePhraseJob (c.notes, { { 0.0, 0.0f } }, { { 0.0, 0.0f } }, next, c.a, c.b, 0, rate);
        ASSERT_TRUE (job) << c.name;
        EXPECT_NEAR (job->totalDuration, c.length, 1.0e-6) << c.name;
        EXPECT_NEAR (job->notes.back().duration, c.lastDuration, 1.0e-6) << c.name;
    }
}

TEST (PhraseJobs, NoteAtTheCutBelongsToTheNextSpan)
{
    const std::vector<Processor::NoteEv> notes { note (0.0, 0.1, 60), note (0.5, 0.1, 62) };
    juce::int32 next = 0;
    auto first = jobs::makePhraseJob (notes, {}, {}, next, 0, 24000, 0, 48000.0);
    ASSERT_TRUE (first);
    EXPECT_EQ (first->notes.size(), 1u);
    EXPECT_EQ (next, 1);

    // A span without notes is dropped and consumes nothing.
    const std::vector<Processor::NoteEv> late { note (3.0, 0.1, 60) };
    next = 0;
    EXPECT_FALSE (jobs::makePhraseJob (late, {}, {}, next, 0, 48000, 0, 48000.0));
    EXPECT_EQ (next, 0);
}

TEST (PhraseJobs, ControllerPointsCarriedIntoAPhrase)
{
    const std::vector<Processor::NoteEv> notes { note (1.0, 0.2, 60) };
    struct Case { float bendInForce; float modInForce; size_t bends; size_t mods; };
    for (const auto c : { Case { 0.0f, 0.0f, 0, 1 }, Case { 2.0f, 0.6f, 1, 1 } })
    {
        const std::vector<Processor::BendEv> bends { { 0.0, 0.0f }, { 0.8, c.bendInForce } };
        const std::vector<Processor::BendEv> mods { { 0.0, 0.1f }, { 0.9, c.modInForce } };
        juce::int32 next = 0;
        auto job = jobs::makePhraseJob (notes, bends, mods, next, 48000, 96000, 0, 48000.0);
        ASSERT_TRUE (job);
        ASSERT_EQ (job->bends.size(), c.bends);
        ASSERT_EQ (job->mods.size(), c.mods);
        if (c.bends > 0)
        {
            EXPECT_EQ (job->bends[0].time, 0.0);
            EXPECT_EQ (job->bends[0].value, c.bendInForce);
        }
        EXPECT_EQ (job->mods[0].time, 0.0);
        EXPECT_EQ (job->mods[0].value, c.modInForce);
    }

    // Points inside the span are shifted to the phrase start; later ones dropped.
    const std::vector<Processor::BendEv> moving { { 0.0, 0.0f }, { 1.1, 1.0f }, { 9.0, 2.0f } };
    juce::int32 next = 0;
    auto job = jobs::makePhraseJob (notes, moving, {}, next, 48000, 96000, 0, 48000.0);
    ASSERT_TRUE (job);
    ASSERT_EQ (job->bends.size(), 1u);
    EXPECT_NEAR (job->bends[0].time, 0.1, 1.0e-9);
}

TEST (TakeSnapshot, HeldNotesZeroLengthNotesAndTheFloor)
{
    const double rate = 48000.0;
    {
        auto take = jobs::makeTakeSnapshot ({ note (0.5, 0.0, 60, rate, true), note (0.2, 0.0, 61) }, {}, {}, 1000, 1000 + 96000, rate);
        ASSERT_EQ (take.notes.size(), 1u);
        EXPECT_NEAR (take.notes[0].start, 0.5, 1e-12);
        EXPECT_NEAR (take.notes[0].duration, 1.5, 1e-12);
        EXPECT_FALSE (take.notes[0].open);
        EXPECT_NEAR (take.duration, 2.0, 1e-12);
        EXPECT_EQ (take.startSample, 1000);
    }
    {
        auto take = jobs::makeTakeSnapshot ({ note (1.9995, 0.0, 60, rate, true) }, {}, {}, 0, 96000, rate);
        EXPECT_NEAR (take.notes[0].duration, 0.001, 1e-12);
    }
    {
        auto take = jobs::makeTakeSnapshot ({ note (0.0, 0.01, 60) }, {}, {}, 0, 960, rate);
        EXPECT_NEAR (take.duration, 0.05, 1e-12);
    }
}

TEST (MonoMix, AveragesChannels)
{
    juce::AudioBuffer<float> stereo (2, 4);
    for (int i = 0; i < 4; ++i) { stereo.setSample (0, i, 0.5f); stereo.setSample (1, i, -0.25f); }
    auto mono = jobs::mixToMono (stereo);
    EXPECT_EQ (mono.getNumChannels(), 1);
    EXPECT_FLOAT_EQ (mono.getSample (0, 3), 0.125f);
}

//==============================================================================
namespace
{
    /** A timed note of a performance, in seconds from the transport start. */
    struct PlayedNote { double on, off; int pitch; };

    /** Plays the notes from host sample `origin` and stops the transport after `length` seconds. */
    void playPerformance (HostDriver& host, const std::vector<PlayedNote>& notes, double length, juce::int64 origin = 0,
                          int blockSize = 480)
    {
        const auto rate = host.sampleRate;
        const auto total = (juce::int64) (length * rate);
        host.play (origin);

        for (juce::int64 pos = 0; pos < total; pos += blockSize)
        {
            std::vector<MidiAt> events;
            for (const auto& n : notes)
            {
                const auto on = (juce::int64) std::llround (n.on * rate), off = (juce::int64) std::llround (n.off * rate);
                if (on >= pos && on < pos + blockSize) events.push_back ({ (int) (on - pos), noteOn (n.pitch, 100) });
                if (off >= pos && off < pos + blockSize) events.push_back ({ (int) (off - pos), noteOff (n.pitch) });
            }
            host.block (blockSize, events);
            if ((pos / blockSize) % 10 == 0)
                pumpMessages (1);
        }

        host.stop();
        host.block (blockSize);
    }

    const std::vector<PlayedNote> threePhrases { { 0.0, 0.2, 60 }, { 0.5, 0.7, 64 }, { 2.0, 2.2, 67 } };

    juce::File streamFile() { return juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("marlune_take_stream.wav"); }

    class PipelineTest : public ServiceTest
    {
    protected:
        explicit PipelineTest (service::RenderService::Options options = {}) : ServiceTest (std::move (options)) {}

        bool waitUntilIdle (int timeoutMs = 15000)
        {
            return eventually ([this] { auto s = processor->state.load(); return s == Processor::Idle || s == Processor::Error; }, timeoutMs);
        }

        std::vector<Processor::Region> regionsCopy()
        {
            const juce::SpinLock::ScopedLockType sl (processor->regionsLock);
            std::vector<Processor::Region> copy;
            for (const auto& r : processor->regions)
                copy.push_back ({ r.startSample, juce::AudioBuffer<float> (r.audio) });
            return copy;
        }

        /** Queues a phrase job directly, as the chunker would, and marks the take as ended. */
        void dispatch (std::vector<Processor::RenderJob> jobs, bool final = true)
        {
            processor->state.store (Processor::Rendering);
            {
                const juce::ScopedLock ql (processor->jobQueueMutex);
                for (auto& j : jobs)
                    processor->jobQueue.push_back (std::move (j));
            }
            processor->jobsDispatched += (juce::int32) jobs.size();
            for (size_t i = 0; i < jobs.size(); ++i)
                processor->phraseEvent.signal();
            if (final)
            {
                processor->awaitingCompletion.store (true);
                processor->phraseEvent.signal();
            }
        }

        static Processor::RenderJob job (juce::int64 start, double duration, int pitch = 60)
        {
            Processor::RenderJob j;
            j.notes.push_back ({ 0.0, duration * 0.5, pitch, 100, start, false });
            j.mods.push_back ({ 0.0, 0.0f });
            j.startSample = start;
            j.totalDuration = duration;
            return j;
        }

        void SetUp() override
        {
            ServiceTest::SetUp();
            streamFile().deleteRecursively();
        }
    };
}

TEST_F (PipelineTest, StreamedCaptureOfThreePhrasesEndsAsThreeRegionsAndAStreamFile)
{
    signInDirectly();
    const juce::int64 origin = 480000;
    processor->arm();
    playPerformance (*host, threePhrases, 3.0, origin);

    ASSERT_TRUE (waitUntilIdle());
    EXPECT_EQ (processor->state.load(), Processor::Idle);
    EXPECT_EQ (processor->getStatus(), "Take ready (3 clips) - press play to hear it in place.");
    EXPECT_EQ (processor->jobsDispatched.load(), 3);

    auto regions = regionsCopy();
    ASSERT_EQ (regions.size(), 3u);
    std::vector<juce::int64> starts;
    for (auto& r : regions) starts.push_back (r.startSample);
    std::sort (starts.begin(), starts.end());
    EXPECT_EQ (starts, (std::vector<juce::int64> { origin, origin + 24000, origin + 96000 }));

    // The stream file holds each phrase at its offset from the first phrase.
    EXPECT_EQ (processor->getLastTakeFile(), streamFile().getFullPathName());
    juce::MemoryBlock bytes;
    ASSERT_TRUE (streamFile().loadFileAsData (bytes));
    juce::AudioBuffer<float> stream;
    double rate = 0;
    ASSERT_TRUE (DdspClient::wavToBuffer (bytes, stream, rate));
    EXPECT_EQ (rate, 48000.0);
    const auto origin0 = starts.front();
    for (auto s : starts)
        EXPECT_GT (stream.getRMSLevel (0, (int) (s - origin0) + 500, 2000), 0.001f) << "phrase at " << s;
    EXPECT_LT (stream.getRMSLevel (0, (int) (origin + 96000 - origin0) - 3000, 2000), 0.3f * stream.getRMSLevel (0, (int) (origin + 96000 - origin0) + 500, 2000));

    // The takes now play in place of the live sound.
    host->play (origin + 96000 + 480);
    const auto played = host->run (4800);
    float peak = 0;
    for (auto x : played) peak = juce::jmax (peak, std::abs (x));
    EXPECT_GT (peak, 0.01f);
}

TEST_F (PipelineTest, WholeTakeEndsAsOneRegionATakeFileAndPlaysInPlace)
{
    signInDirectly();
    processor->streamWhileRecording = false;
    processor->arm();
    playPerformance (*host, { { 0.1, 0.6, 69 } }, 1.0, 48000);

    ASSERT_TRUE (waitUntilIdle());
    EXPECT_EQ (processor->getStatus(), "Take ready (1 total) - press play to hear it in place.");
    EXPECT_EQ (processor->getNumRegions(), 1);
    const juce::File take (processor->getLastTakeFile());
    EXPECT_TRUE (take.existsAsFile());
    EXPECT_TRUE (take.getFileName().startsWith ("marlune_take_"));
    EXPECT_TRUE (take.getFileName().endsWith (".wav"));
    EXPECT_EQ (take.getParentDirectory(), juce::File::getSpecialLocation (juce::File::tempDirectory));

    const auto renders = service.requestsTo ("/v1/renders");
    ASSERT_EQ (renders.size(), 1u);
    const auto body = juce::JSON::parse (toJuce (renders[0].body));
    EXPECT_EQ (body["pmi"].toString(), "nylon-guitar");
    EXPECT_NEAR ((double) body["total_duration"], 1.0, 0.011);

    host->play (48000 + 9600);
    const auto played = host->run (4800);
    EXPECT_GT (*std::max_element (played.begin(), played.end()), 0.01f);

    // The curves of the take are fetched afterwards.
    EXPECT_TRUE (eventually ([this] { return processor->getCurves().ok; }));
    take.deleteFile();
}

TEST_F (PipelineTest, WholeTakeFailures)
{
    struct Case
    {
        const char* name;
        bool signedIn;
        bool keepRefresh;
        std::function<void (service::RenderService&)> fault;
        const char* status;
        bool tokensCleared;
    };
    const Case cases[] = {
        { "not signed in", false, true, {}, "Sign in to render your take.", false },
        { "401 without refresh token", true, false, [] (auto& s) { s.failWithStatus ("/v1/renders", 401); }, "Error: render HTTP 401", false },
        { "refresh fails", true, true, [] (auto& s) { s.failWithStatus ("/v1/renders", 401); s.failWithStatus ("/v1/auth/refresh", 401); }, "Please sign in again.", true },
        { "other status", true, true, [] (auto& s) { s.failWithStatus ("/v1/renders", 422); }, "Error: render HTTP 422", false },
        { "undecodable", true, true, [] (auto& s) { s.sendNonWav ("/v1/renders"); }, "Error: could not decode the guitar audio.", false },
    };

    processor->streamWhileRecording = false;
    for (const auto& c : cases)
    {
        service.clearFaults();
        {
            const juce::ScopedLock al (processor->accountLock);
            processor->accessToken.clear();
            processor->refreshToken.clear();
        }
        if (c.signedIn)
            signInDirectly();
        if (! c.keepRefresh)
        {
            const juce::ScopedLock al (processor->accountLock);
            processor->refreshToken.clear();
        }
        if (c.fault) c.fault (service);

        const int regionsBefore = processor->getNumRegions();
        processor->arm();
        playPerformance (*host, { { 0.0, 0.3, 60 } }, 0.5);
        ASSERT_TRUE (waitUntilIdle()) << c.name;
        EXPECT_EQ (processor->state.load(), Processor::Error) << c.name;
        EXPECT_EQ (processor->getStatus(), c.status) << c.name;
        EXPECT_EQ (processor->getNumRegions(), regionsBefore) << c.name;
        EXPECT_EQ (accessToken().isEmpty() && c.signedIn, c.tokensCleared) << c.name;
    }
}

TEST_F (PipelineTest, WholeTakeRefreshesOnceOn401AndPostsAgain)
{
    signInDirectly();
    const auto oldToken = accessToken();
    service.expireAllAccessTokens();
    processor->streamWhileRecording = false;
    processor->arm();
    playPerformance (*host, { { 0.0, 0.3, 60 } }, 0.5);

    ASSERT_TRUE (waitUntilIdle());
    EXPECT_EQ (processor->state.load(), Processor::Idle);
    EXPECT_EQ (service.requestsTo ("/v1/auth/refresh").size(), 1u);
    EXPECT_EQ (service.requestsTo ("/v1/renders").size(), 2u);
    EXPECT_NE (accessToken(), oldToken);
    EXPECT_FALSE (accessToken().isEmpty());
}

TEST_F (PipelineTest, WholeTakeWaitsOutAWarmingEngine)
{
    signInDirectly();
    service.failWithStatus ("/v1/renders", 503);
    service.failWithStatus ("/v1/renders/warmup-status", 503);   // not ready
    service.sendMalformedJson ("/v1/renders/warmup-status");      // not JSON: not ready either
    processor->streamWhileRecording = false;
    processor->arm();
    playPerformance (*host, { { 0.0, 0.3, 60 } }, 0.5);

    EXPECT_TRUE (eventually ([this] { return processor->getStatus() == "Engine warming up. This may take a bit longer."; }, 5000));
    ASSERT_TRUE (waitUntilIdle());
    EXPECT_EQ (processor->state.load(), Processor::Idle);
    EXPECT_EQ (service.requestsTo ("/v1/renders/warmup-status").size(), 3u); // ready on the third poll
    EXPECT_EQ (service.requestsTo ("/v1/renders").size(), 2u);
    for (const auto& r : service.requestsTo ("/v1/renders/warmup-status"))
        EXPECT_EQ (r.method, "GET");
}

TEST_F (PipelineTest, StreamedPhraseRetriesWhileTheEngineIsUnavailable)
{
    struct Case { int failures; bool published; };
    for (const auto c : { Case { 4, true }, Case { 5, false } })
    {
        signInDirectly();
        processor->resetStreaming();
        service.clearLog();
        service.failWithStatus ("/v1/renders", 503, c.failures);
        const int before = processor->getNumRegions();
        dispatch ({ job (0, 0.5) });

        ASSERT_TRUE (waitUntilIdle());
        EXPECT_EQ (processor->getNumRegions() - before, c.published ? 1 : 0);
        EXPECT_EQ (service.requestsTo ("/v1/renders").size(), (size_t) juce::jmin (c.failures + 1, 5));
        EXPECT_EQ (processor->getStatus(), juce::String ("Take ready (") + (c.published ? "1" : "0") + " clips) - press play to hear it in place.");
    }
}

TEST_F (PipelineTest, TwoWorkersHitting401TogetherRefreshOnce)
{
    signInDirectly();
    service.expireAllAccessTokens();
    dispatch ({ job (0, 0.4), job (48000, 0.4), job (96000, 0.4) });

    ASSERT_TRUE (waitUntilIdle());
    EXPECT_EQ (service.requestsTo ("/v1/auth/refresh").size(), 1u);
    EXPECT_EQ (processor->getNumRegions(), 3);
    EXPECT_EQ (processor->getStatus(), "Take ready (3 clips) - press play to hear it in place.");
}

TEST_F (PipelineTest, PhraseFailuresByKind)
{
    struct Case
    {
        const char* name;
        std::function<void (service::RenderService&)> fault;
        bool signedIn;
        const char* renderText; // the text renderOneJob sets, seen before the worker's own
    };
    const Case cases[] = {
        { "not signed in", {}, false, "Sign in to render your take." },
        { "refresh fails", [] (auto& s) { s.failWithStatus ("/v1/renders", 401); s.failWithStatus ("/v1/auth/refresh", 401); }, true, "Please sign in again." },
        { "other status", [] (auto& s) { s.failWithStatus ("/v1/renders", 400); }, true, "Error: render HTTP 400" },
        { "undecodable", [] (auto& s) { s.sendNonWav ("/v1/renders"); }, true, nullptr },
    };

    for (const auto& c : cases)
    {
        service.clearFaults();
        {
            const juce::ScopedLock al (processor->accountLock);
            processor->accessToken.clear();
            processor->refreshToken.clear();
        }
        if (c.signedIn) signInDirectly();
        if (c.fault) c.fault (service);
        processor->resetStreaming();

        dispatch ({ job (0, 0.3) }, false);
        ASSERT_TRUE (eventually ([&] { return processor->getStatus() == "A phrase failed to render (0/1)."; })) << c.name << ": " << processor->getStatus();
        dispatch ({}, true);
        ASSERT_TRUE (waitUntilIdle()) << c.name;
        EXPECT_EQ (processor->getStatus(), "Take ready (0 clips) - press play to hear it in place.") << c.name;
        EXPECT_EQ (processor->getNumRegions(), 0) << c.name;
    }
}

namespace
{
    service::RenderService::Options slowPerSecondOfAudio()
    {
        service::RenderService::Options o;
        o.renderLatencyFactor = 0.3; // seconds of waiting per second of audio
        return o;
    }

    class SlowServicePipelineTest : public PipelineTest
    {
    protected:
        SlowServicePipelineTest() : PipelineTest (slowPerSecondOfAudio()) {}
    };
}

TEST_F (SlowServicePipelineTest, LaterPhraseFinishingFirstSetsTheStreamOrigin)
{
    signInDirectly();
    processor->resetStreaming();
    // The first phrase is long and so renders slowly; the second is quick.
    auto slow = job (480000, 3.0);
    auto quick = job (600000, 0.3);
    dispatch ({ std::move (slow), std::move (quick) });

    ASSERT_TRUE (waitUntilIdle());
    EXPECT_EQ (processor->getNumRegions(), 2);

    juce::MemoryBlock bytes;
    ASSERT_TRUE (streamFile().loadFileAsData (bytes));
    juce::AudioBuffer<float> stream;
    double rate = 0;
    ASSERT_TRUE (DdspClient::wavToBuffer (bytes, stream, rate));
    {
        const juce::ScopedLock sl (processor->streamMutex);
        EXPECT_EQ (processor->streamOriginSample, 600000);
    }
    // Only the quick phrase (0.3 s plus the service's reverb tail) is in the file.
    EXPECT_LT (stream.getNumSamples(), 48000);
}

TEST_F (PipelineTest, OverlappingPhrasesAreSummedInTheStream)
{
    signInDirectly();
    processor->resetStreaming();
    auto first = job (480000, 3.0);
    auto second = job (600000, 1.0);
    dispatch ({ std::move (first) }, false);
    ASSERT_TRUE (eventually ([this] { return processor->clipsRendered.load() == 1; }));
    dispatch ({ std::move (second) });
    ASSERT_TRUE (waitUntilIdle());

    const auto regions = regionsCopy();
    ASSERT_EQ (regions.size(), 2u);
    const juce::ScopedLock sl (processor->streamMutex);
    const auto& stream = processor->streamBuffer;
    EXPECT_EQ (processor->streamOriginSample, 480000);
    EXPECT_GE (stream.getNumSamples(), 120000 + regions[1].audio.getNumSamples());
    // In the overlap the stream holds the sum of both clips.
    for (int i = 0; i < 2000; i += 97)
    {
        const int k = 120000 + i;
        if (k < regions[0].audio.getNumSamples())
            EXPECT_NEAR (stream.getSample (0, k), regions[0].audio.getSample (0, k) + regions[1].audio.getSample (0, i), 1.0e-6f);
    }
}

TEST_F (PipelineTest, UnwritableStreamFileStillPublishesTheRegion)
{
    signInDirectly();
    processor->resetStreaming();
    // A non-empty folder in the file's place cannot be replaced by a file.
    ASSERT_TRUE (streamFile().getChildFile ("keep").create());
    const auto before = processor->getLastTakeFile();
    dispatch ({ job (0, 0.3) });

    ASSERT_TRUE (waitUntilIdle());
    EXPECT_EQ (processor->getNumRegions(), 1);
    EXPECT_EQ (processor->getLastTakeFile(), before);
    EXPECT_EQ (processor->getStatus(), "Take ready (1 clips) - press play to hear it in place.");
    streamFile().deleteRecursively();
}

TEST_F (PipelineTest, OfflineCaptureAsksForAnotherFreeze)
{
    signInDirectly();
    processor->arm();
    host->setOffline (true);
    playPerformance (*host, { { 0.0, 0.2, 60 }, { 0.6, 0.8, 62 } }, 1.2);
    host->setOffline (false);

    ASSERT_TRUE (waitUntilIdle());
    EXPECT_EQ (processor->getStatus(), "Take ready (2 clips) - run Freeze again to commit.");
}

TEST_F (PipelineTest, NothingCapturedInEitherMode)
{
    for (bool streaming : { true, false })
    {
        processor->streamWhileRecording = streaming;
        processor->arm();
        host->play (0);
        host->block (480, { { 10, bend (12000) } });
        host->stop();
        host->block (480);
        ASSERT_TRUE (eventually ([this] { return processor->state.load() == Processor::Idle; }));
        EXPECT_EQ (processor->getStatus(), "Nothing captured - arm and play a segment with notes.");
        EXPECT_TRUE (service.requestsTo ("/v1/renders").empty());
    }
}

TEST_F (PipelineTest, ResetDuringAStreamedRenderDropsQueuedJobs)
{
    signInDirectly();
    processor->resetStreaming();
    service.delayReplies ("/v1/renders", 300, 3);
    std::vector<Processor::RenderJob> many;
    for (int i = 0; i < 6; ++i)
        many.push_back (job (i * 48000, 0.2));
    dispatch (std::move (many), false);
    ASSERT_TRUE (eventually ([this] { return processor->jobsInFlight.load() == 3; }, 3000));

    processor->resetCapture();
    EXPECT_EQ (processor->jobsDispatched.load(), 0);
    {
        const juce::ScopedLock ql (processor->jobQueueMutex);
        EXPECT_TRUE (processor->jobQueue.empty());
    }
    ASSERT_TRUE (eventually ([this] { return processor->jobsInFlight.load() == 0; }));
    EXPECT_EQ (processor->getNumRegions(), 3); // the jobs already taken still finish
}

TEST_F (PipelineTest, ASecondWholeTakeStopsTheFirstWorkerBeforeStartingItsOwn)
{
    signInDirectly();
    processor->streamWhileRecording = false;
    service.delayReplies ("/v1/renders", 5000); // the first render hangs on the service

    processor->arm();
    playPerformance (*host, { { 0.0, 0.3, 60 } }, 0.5);
    ASSERT_TRUE (eventually ([this] { return service.requestsTo ("/v1/renders").size() == 1; }));

    const auto started = juce::Time::getMillisecondCounterHiRes();
    processor->arm();
    playPerformance (*host, { { 0.0, 0.3, 64 } }, 0.5, 96000);
    ASSERT_TRUE (waitUntilIdle());

    // The first worker's request was cancelled rather than waited out, and it
    // published nothing once asked to stop.
    EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - started, 4000.0);
    EXPECT_EQ (processor->getNumRegions(), 1);
    EXPECT_EQ (processor->getStatus(), "Take ready (1 total) - press play to hear it in place.");
    {
        const juce::SpinLock::ScopedLockType sl (processor->regionsLock);
        EXPECT_EQ (processor->regions[0].startSample, 96000);
    }
    EXPECT_EQ (processor->takeStartSample, 96000);
}

TEST_F (PipelineTest, OfflineWholeTakeAlsoAsksForAnotherFreeze)
{
    signInDirectly();
    processor->streamWhileRecording = false;
    processor->arm();
    host->setOffline (true);
    playPerformance (*host, { { 0.0, 0.3, 60 } }, 0.5);
    host->setOffline (false);

    ASSERT_TRUE (waitUntilIdle());
    EXPECT_EQ (processor->getStatus(), "Take ready (1 total) - run Freeze again to commit.");
}
