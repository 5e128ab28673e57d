// Fault soak: long streamed captures and a whole-take render against the local
// render service while its fault injection answers with 503s, dropped
// connections, slow replies, expired tokens, truncated and non-WAV bodies.
// Every phrase must end either published or with the failure the phrase path
// prescribes, the take must complete with the right count, and no clip or take
// file may be lost or damaged.

#include "NetFixture.h"
#include "DdspClient.h"
#include "PhraseJobs.h"

#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <set>

using namespace marlune;
using namespace marlune::test;
using Processor = MarluneInstrumentProcessor;

namespace
{
    constexpr double rate = 48000.0;
    constexpr int blockSize = 480;
    constexpr double phraseSeconds = 0.6;   // first note to next phrase's first note
    constexpr int firstPitch = 36;          // phrase i plays pitch firstPitch + i: the request names its phrase

    /** Sample where phrase i's first note starts (the capture starts at 0). */
    juce::int64 phraseStart (int i) { return (juce::int64) std::llround (i * phraseSeconds * rate); }

    /** Two short notes, then a rest of 0.3 s, longer than the 0.25 s cut. */
    std::vector<std::pair<juce::int64, juce::MidiMessage>> phraseEvents (int i)
    {
        const auto s = phraseStart (i);
        const int pitch = firstPitch + i;
        const auto at = [s] (double seconds) { return s + (juce::int64) std::llround (seconds * rate); };
        return { { at (0.0), noteOn (pitch, 90) }, { at (0.15), noteOff (pitch) },
                 { at (0.2), noteOn (pitch, 70) }, { at (0.3), noteOff (pitch) } };
    }

    /** Private temporary folder for the take files, so that other test binaries
        writing "marlune_take_stream.wav" at the same time cannot disturb them. */
    class PrivateTempDirectory
    {
    public:
        PrivateTempDirectory()
        {
            const char* old = std::getenv ("TMPDIR");
            hadOld = old != nullptr;
            if (hadOld)
                previous = old;
            folder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                         .getNonexistentChildFile ("marlune-soak", {}, false);
            folder.createDirectory();
            setenv ("TMPDIR", folder.getFullPathName().toRawUTF8(), 1);
        }

        ~PrivateTempDirectory()
        {
            if (hadOld)
                setenv ("TMPDIR", previous.c_str(), 1);
            else
                unsetenv ("TMPDIR");
            folder.deleteRecursively();
        }

        juce::File folder;

    private:
        bool hadOld = false;
        std::string previous;
    };

    /** Pitches of the notes in a logged render body: which phrase it was. */
    int phraseOfBody (const std::string& body)
    {
        const auto json = juce::JSON::parse (toJuce (body));
        if (const auto* notes = json["notes"].getArray())
            if (! notes->isEmpty())
                return (int) notes->getReference (0)["pitch"] - firstPitch;
        return -1;
    }

    bool allFinite (const juce::AudioBuffer<float>& audio)
    {
        for (int ch = 0; ch < audio.getNumChannels(); ++ch)
            for (int i = 0; i < audio.getNumSamples(); ++i)
                if (! std::isfinite (audio.getSample (ch, i)))
                    return false;
        return true;
    }

    class FaultSoak : public ServiceTest
    {
    protected:
        FaultSoak() : ServiceTest (slowish()) {}

        static service::RenderService::Options slowish()
        {
            service::RenderService::Options o;
            o.renderLatencyMs = 15; // every render takes a moment, so phrases overlap
            return o;
        }

        /** Plays the capture's blocks up to (not including) sample `until`,
            delivering the events that fall in them. */
        void playUntil (juce::int64 until, const std::vector<std::pair<juce::int64, juce::MidiMessage>>& events)
        {
            while (host->playHead.samplePosition < until)
            {
                const auto pos = host->playHead.samplePosition;
                const int n = (int) juce::jmin ((juce::int64) blockSize, until - pos);
                std::vector<MidiAt> inBlock;
                for (const auto& e : events)
                    if (e.first >= pos && e.first < pos + n)
                        inBlock.push_back ({ (int) (e.first - pos), e.second });
                host->block (n, inBlock);
                if ((pos / blockSize) % 8 == 0)
                    pumpMessages (1);
            }
        }

        std::vector<Processor::Region> regionsCopy()
        {
            const juce::SpinLock::ScopedLockType sl (processor->regionsLock);
            std::vector<Processor::Region> copy;
            for (const auto& r : processor->regions)
                copy.push_back ({ r.startSample, juce::AudioBuffer<float> (r.audio) });
            return copy;
        }

        int rendersOfPhrase (int phrase)
        {
            int n = 0;
            for (const auto& r : service.requestsTo ("/v1/renders"))
                n += phraseOfBody (r.body) == phrase ? 1 : 0;
            return n;
        }

        /** What holds for every finished take, whatever the faults were. */
        void expectTakeIntact (int phrases)
        {
            EXPECT_EQ (processor->state.load(), Processor::Idle);
            EXPECT_EQ (processor->jobsDispatched.load(), phrases);

            const auto regions = regionsCopy();
            EXPECT_EQ ((int) regions.size(), processor->clipsRendered.load());
            EXPECT_EQ (processor->getStatus(),
                       "Take ready (" + juce::String ((int) regions.size()) + " clips) - press play to hear it in place.");

            std::set<juce::int64> starts;
            std::vector<std::pair<juce::int64, juce::int64>> spans;
            for (const auto& r : regions)
            {
                spans.push_back ({ r.startSample, r.startSample + r.audio.getNumSamples() });
                EXPECT_TRUE (starts.insert (r.startSample).second) << "two regions at " << r.startSample;
                const auto phrase = (int) std::llround ((double) r.startSample / (phraseSeconds * rate));
                EXPECT_EQ (r.startSample, phraseStart (phrase)) << "a region away from every phrase start";
                EXPECT_EQ (r.audio.getNumChannels(), 1);
                EXPECT_GT (r.audio.getNumSamples(), 0);
                EXPECT_TRUE (allFinite (r.audio)) << "region at " << r.startSample;
            }

            if (regions.empty())
                return;

            // The stream file holds every published phrase from the first one
            // to finish; it decodes and is long enough for all that start later.
            const auto file = juce::File (processor->getLastTakeFile());
            EXPECT_EQ (file.getFileName(), "marlune_take_stream.wav");
            juce::MemoryBlock bytes;
            ASSERT_TRUE (file.loadFileAsData (bytes));
            juce::AudioBuffer<float> stream;
            double fileRate = 0.0;
            ASSERT_TRUE (DdspClient::wavToBuffer (bytes, stream, fileRate));
            EXPECT_EQ (fileRate, rate);
            EXPECT_EQ (stream.getNumChannels(), 1);
            EXPECT_TRUE (allFinite (stream));

            // Phrases that start before the first one to finish are left out.
            const juce::ScopedLock sl (processor->streamMutex);
            const auto origin = processor->streamOriginSample;
            juce::int64 streamEnd = origin;
            for (const auto& [start, end] : spans)
                if (start >= origin)
                    streamEnd = juce::jmax (streamEnd, end);
            EXPECT_TRUE (starts.count (origin) == 1) << "the stream starts at a published phrase";
            EXPECT_EQ ((juce::int64) stream.getNumSamples(), streamEnd - origin);
        }

        PrivateTempDirectory temp;
    };

    //==============================================================================
    /** One fault and the outcome the phrase path prescribes for it. */
    struct FaultCase
    {
        const char* name;
        std::function<void (service::RenderService&)> inject;
        bool published;
        int renderRequests;   // posts of this phrase the service sees
        bool tokensReplaced;
        bool tokensCleared;
        bool truncated;
    };

    const FaultCase faultCycle[] = {
        { "answered at once",         [] (auto&) {},                                                   true,  1, false, false, false },
        { "503 twice, then answered", [] (auto& s) { s.failWithStatus ("/v1/renders", 503, 2); },      true,  3, false, false, false },
        { "dropped once",             [] (auto& s) { s.dropConnections ("/v1/renders", 1); },          true,  2, false, false, false },
        { "slow answer",              [] (auto& s) { s.delayReplies ("/v1/renders", 250, 1); },        true,  1, false, false, false },
        { "tokens expire mid-take",   [] (auto& s) { s.expireAllAccessTokens(); },                     true,  2, true,  false, false },
        { "truncated WAV",            [] (auto& s) { s.sendTruncatedWav ("/v1/renders", 1); },         true,  1, false, false, true },
        { "503 five times",           [] (auto& s) { s.failWithStatus ("/v1/renders", 503, 5); },      false, 5, false, false, false },
        { "not a WAV",                [] (auto& s) { s.sendNonWav ("/v1/renders", 1); },               false, 1, false, false, false },
        { "dropped five times",       [] (auto& s) { s.dropConnections ("/v1/renders", 5); },          false, 5, false, false, false },
        { "401 after a refresh",      [] (auto& s) { s.failWithStatus ("/v1/renders", 401, 2); },      false, 2, true,  false, false },
        { "refresh refused",          [] (auto& s) { s.failWithStatus ("/v1/renders", 401, 1);
                                                     s.failWithStatus ("/v1/auth/refresh", 401, 1); }, false, 1, false, true,  false },
    };
    constexpr int numFaultCases = (int) std::size (faultCycle);
}

//==============================================================================
// Phrase by phrase: each phrase's fault is injected just before its job is
// dispatched and the test waits for that job, so every phrase's outcome is
// known exactly.
TEST_F (FaultSoak, EveryPhraseEndsPublishedOrWithItsPrescribedFailure)
{
    constexpr int phrases = 3 * numFaultCases; // each fault three times
    signInDirectly();
    processor->arm();
    host->play (0);

    std::map<std::string, std::pair<int, int>> tally; // case -> (times, held)
    int published = 0;
    int cleanLength = -1; // samples of a phrase answered without a fault

    for (int i = 0; i < phrases; ++i)
    {
        const auto& c = faultCycle[i % numFaultCases];
        SCOPED_TRACE (std::string ("phrase ") + std::to_string (i) + ": " + c.name);
        const auto tokenBefore = accessToken();
        c.inject (service);

        // The phrase, its rest, and the next phrase's first note-on, which cuts
        // it; the last phrase is cut by the transport stopping.
        auto events = phraseEvents (i);
        if (i + 1 < phrases)
        {
            const auto next = phraseEvents (i + 1);
            events.push_back (next.front());
            playUntil (next.front().first + 1, events);
            // Finish the block holding the note-on so the one after it starts clean.
            playUntil (((host->playHead.samplePosition + blockSize - 1) / blockSize) * blockSize, events);
        }
        else
        {
            playUntil (phraseStart (i + 1), events);
            host->stop();
            host->block (blockSize);
        }

        const bool last = i + 1 == phrases;
        const int expectedClips = published + (c.published ? 1 : 0);
        const auto doneText = last ? "Take ready (" + juce::String (expectedClips) + " clips) - press play to hear it in place."
                                   : c.published ? jobs::progressText (expectedClips, i + 1)
                                                 : "A phrase failed to render (" + juce::String (published) + "/" + juce::String (i + 1) + ").";

        const bool finished = eventually ([&]
        {
            return processor->jobsDispatched.load() == i + 1 && processor->jobsInFlight.load() == 0
                && processor->getStatus() == doneText;
        }, 20000);
        ASSERT_TRUE (finished) << "status: " << processor->getStatus() << " / expected: " << doneText;

        published = processor->clipsRendered.load();
        const auto regions = regionsCopy();
        const bool lastIsThisPhrase = ! regions.empty() && regions.back().startSample == phraseStart (i);
        if (i == 0 && lastIsThisPhrase)
            cleanLength = regions.back().audio.getNumSamples();

        const bool tokensAsPrescribed = c.tokensCleared ? accessToken().isEmpty() && refreshToken().isEmpty()
                                      : c.tokensReplaced ? accessToken() != tokenBefore && accessToken().isNotEmpty()
                                                         : accessToken() == tokenBefore;
        // A truncated reply keeps its header and half its data: a shorter clip.
        const bool lengthAsPrescribed = ! c.published || ! lastIsThisPhrase
                                     || (c.truncated ? regions.back().audio.getNumSamples() <= cleanLength * 6 / 10
                                                     : regions.back().audio.getNumSamples() == cleanLength);
        const bool held = published == expectedClips && lastIsThisPhrase == c.published
                       && rendersOfPhrase (i) == c.renderRequests && tokensAsPrescribed && lengthAsPrescribed;
        EXPECT_EQ (published, expectedClips);
        EXPECT_EQ (lastIsThisPhrase, c.published);
        EXPECT_EQ (rendersOfPhrase (i), c.renderRequests);
        EXPECT_TRUE (tokensAsPrescribed) << accessToken() << " was " << tokenBefore;
        EXPECT_TRUE (lengthAsPrescribed) << (regions.empty() ? 0 : regions.back().audio.getNumSamples()) << " vs " << cleanLength;

        if (c.tokensCleared)
            signInDirectly(); // the user signs in again before playing on

        auto& entry = tally[c.name];
        ++entry.first;
        entry.second += held ? 1 : 0;
    }

    expectTakeIntact (phrases);

    for (const auto& [name, counts] : tally)
        std::printf ("[soak] %-26s x%d  held %d\n", name.c_str(), counts.first, counts.second);
}

//==============================================================================
// Free running: the whole performance is played without waiting while the
// faults, shuffled by a seed, are queued up front, and the tokens expire half
// way through; three workers meet them in whatever order they arrive.
class FreeRunningSoak : public FaultSoak, public ::testing::WithParamInterface<unsigned> {};

TEST_P (FreeRunningSoak, TakeCompletesAndNothingIsLost)
{
    constexpr int phrases = 32;
    std::mt19937 random (GetParam());
    signInDirectly();

    using Inject = std::function<void (service::RenderService&)>;
    std::vector<Inject> schedule {
        [] (auto& s) { s.failWithStatus ("/v1/renders", 503, 1); },
        [] (auto& s) { s.failWithStatus ("/v1/renders", 503, 5); },
        [] (auto& s) { s.dropConnections ("/v1/renders", 1); },
        [] (auto& s) { s.delayReplies ("/v1/renders", 200, 2); },
        [] (auto& s) { s.sendTruncatedWav ("/v1/renders", 1); },
        [] (auto& s) { s.sendNonWav ("/v1/renders", 1); },
        [] (auto& s) { s.delayReplies ("/v1/renders", 0, 3); }, // answered normally
    };
    std::vector<Inject> queued;
    for (int i = 0; i < 12; ++i)
        queued.push_back (schedule[random() % schedule.size()]);
    for (const auto& inject : queued)
        inject (service);

    processor->arm();
    host->play (0);
    std::vector<std::pair<juce::int64, juce::MidiMessage>> events;
    for (int i = 0; i < phrases; ++i)
        for (const auto& e : phraseEvents (i))
            events.push_back (e);

    const auto expireAt = phraseStart ((int) (phrases / 2 + random() % 4));
    playUntil (expireAt, events);
    service.expireAllAccessTokens();
    playUntil (phraseStart (phrases), events);
    host->stop();
    host->block (blockSize);

    ASSERT_TRUE (eventually ([this] { return processor->state.load() == Processor::Idle
                                          && processor->getStatus().startsWith ("Take ready"); }, 60000))
        << processor->getStatus();
    service.clearFaults();

    expectTakeIntact (phrases);

    // Every phrase reached the service, none was posted beyond its retries
    // and refreshes, and every published one was asked for.
    for (int i = 0; i < phrases; ++i)
    {
        const auto n = rendersOfPhrase (i);
        EXPECT_GE (n, 1) << "phrase " << i;
        EXPECT_LE (n, waits::maxPhrasePosts + 2) << "phrase " << i;
    }
    // The expired tokens were refreshed once, however many workers met them.
    EXPECT_EQ (service.requestsTo ("/v1/auth/refresh").size(), 1u);

    std::printf ("[soak] seed %u: %d of %d phrases published, %d render requests, %d refreshes\n",
                 GetParam(), processor->clipsRendered.load(), phrases,
                 (int) service.requestsTo ("/v1/renders").size(), (int) service.requestsTo ("/v1/auth/refresh").size());
}

INSTANTIATE_TEST_SUITE_P (Seeds, FreeRunningSoak, ::testing::Values (1u, 2u, 3u));

//==============================================================================
// A whole take while the engine never warms up: every render is answered 503,
// the warm-up status never reports ready, and after the 60 polls the take
// ends in Error with the last post's text.
class ColdEngine : public ServiceTest
{
protected:
    ColdEngine() : ServiceTest (neverWarm()) {}

    static service::RenderService::Options neverWarm()
    {
        service::RenderService::Options o;
        o.coldStartSeconds = 1.0e7;
        return o;
    }

    PrivateTempDirectory temp;
};

TEST_F (ColdEngine, WholeTakeEndsInErrorAfterTheWarmUpPolls)
{
    signInDirectly();
    processor->streamWhileRecording = false;
    processor->arm();
    host->play (0);

    for (int b = 0; b < 100; ++b)
    {
        std::vector<MidiAt> events;
        if (b == 10) events.push_back ({ 0, noteOn (60) });
        if (b == 50) events.push_back ({ 0, noteOff (60) });
        host->block (blockSize, events);
    }
    host->stop();
    host->block (blockSize);

    EXPECT_TRUE (eventually ([this] { return processor->getStatus() == "Engine warming up. This may take a bit longer."; }, 10000));
    EXPECT_EQ (processor->state.load(), Processor::Rendering);

    ASSERT_TRUE (eventually ([this] { return processor->state.load() == Processor::Error; }, 60000)) << processor->getStatus();
    EXPECT_EQ (processor->getStatus(), "Error: render HTTP 503");
    EXPECT_EQ (service.requestsTo ("/v1/renders").size(), 1u);
    EXPECT_EQ (service.requestsTo ("/v1/renders/warmup-status").size(), (size_t) waits::maxWarmupPolls);
    EXPECT_EQ (processor->getNumRegions(), 0);
    EXPECT_TRUE (processor->getLastTakeFile().isEmpty());
}
