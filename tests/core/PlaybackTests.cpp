// In-place playback of rendered regions: alignment with the host position,
// edge fades, overlaps, the stop tail, channels, and when takes are heard.

#include "CoreTestSupport.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

using namespace marlune::test;

namespace
{
    /** The gain a region's sample k should get, written out from the fade rules. */
    double edgeGain (juce::int64 k, juce::int64 len, double rate)
    {
        const juce::int64 fade = juce::jmax ((juce::int64) 1, (juce::int64) (0.005 * rate));
        const juce::int64 edge = juce::jmin (fade, len / 2);
        if (edge == 0)
            return 1.0;
        if (k < edge)
            return (double) k / (double) edge;
        if (k >= len - edge)
            return (double) (len - k) / (double) edge;
        return 1.0;
    }

    class PlaybackTest : public ProcessorTest
    {
    protected:
        /** Expects out[i] (host sample from + i) to be region x at start, faded, or silence. */
        void expectRegionAlone (const std::vector<float>& out, juce::int64 from, juce::int64 start,
                                const std::vector<float>& x, double rate)
        {
            const auto len = (juce::int64) x.size();
            for (size_t i = 0; i < out.size(); ++i)
            {
                const juce::int64 h = from + (juce::int64) i;
                const juce::int64 k = h - start;
                const double expected = (k >= 0 && k < len) ? edgeGain (k, len, rate) * x[(size_t) k] : 0.0;
                ASSERT_NEAR (out[i], expected, 2e-6) << "host sample " << h << ", region sample " << k;
            }
        }
    };

    //==============================================================================
    struct FadeCase
    {
        const char* name;
        double rate;
        juce::int64 start;
        int length;
        int blockSize;
    };

    class RegionFades : public PlaybackTest, public ::testing::WithParamInterface<FadeCase> {};

    TEST_P (RegionFades, FadeInAndOutOverFiveMillisecondsOrHalfTheRegion)
    {
        const auto c = GetParam();
        host->prepare (c.rate);
        const auto x = rampSignal (c.length);
        publishRegion (*processor, c.start, x);
        host->play (0);
        const auto out = host->run (c.start + c.length + 1000, c.blockSize);
        expectRegionAlone (out, 0, c.start, x, c.rate);
    }

    INSTANTIATE_TEST_SUITE_P (Core, RegionFades, ::testing::Values (
        FadeCase { "OneSecondIn",        48000.0, 48000, 48000, 512 },
        FadeCase { "OddBlocks",          48000.0, 48000, 48000, 333 },
        FadeCase { "HundredSamples",     48000.0, 1000,  100,   64 },
        FadeCase { "HundredSamplesOneBlock", 48000.0, 1000, 100, 4096 },
        FadeCase { "ThreeSamples",       48000.0, 10,    3,     512 },
        FadeCase { "OneSample",          48000.0, 10,    1,     7 },
        FadeCase { "At44k1",             44100.0, 500,   10000, 512 },
        FadeCase { "At96k",              96000.0, 777,   5000,  1024 },
        FadeCase { "At4k",               4000.0,  0,     400,   16 }), ByName());;

    TEST_F (PlaybackTest, ARegionAtOneSecondIsSilentBeforeAndFullAfterItsFadeIn)
    {
        publishRegion (*processor, 48000, constantSignal (48000, 0.5f));
        host->play (0);
        const auto out = host->run (2 * 48000 + 480);
        EXPECT_EQ (peak (out, 0, 48000), 0.0f);
        EXPECT_EQ (out[48000], 0.0f);
        EXPECT_FLOAT_EQ (out[48000 + 120], 0.25f);
        EXPECT_FLOAT_EQ (out[48000 + 240], 0.5f);
        EXPECT_FLOAT_EQ (out[96000 - 240], 0.5f * 240.0f / 240.0f);
        EXPECT_FLOAT_EQ (out[96000 - 120], 0.25f);
        EXPECT_FLOAT_EQ (out[96000 - 1], 0.5f / 240.0f);
        EXPECT_EQ (peak (out, 96000, out.size()), 0.0f);
    }

    TEST_F (PlaybackTest, JumpingIntoTheMiddleStartsAtFullLevel)
    {
        const auto x = rampSignal (48000);
        publishRegion (*processor, 48000, x);
        host->play (48000 + 10000);
        const auto out = host->run (2048);
        EXPECT_FLOAT_EQ (out[0], x[10000]);
        expectRegionAlone (out, 58000, 48000, x, 48000.0);
    }

    TEST_F (PlaybackTest, TheTakeReplacesTheLiveSoundWhereItIsAtFullLevel)
    {
        const auto x = constantSignal (24000, 0.5f);
        publishRegion (*processor, 4800, x);
        host->play (0);
        host->block (512, { { 0, noteOn (69, 127) } });
        const auto out = host->run (32000);
        // Inside the region the synthesiser is gone; around it, it is heard.
        const juce::int64 first = 512;
        for (juce::int64 h = 4800 + 240; h < 4800 + 24000 - 240; ++h)
            ASSERT_EQ (out[(size_t) (h - first)], 0.5f) << h;
        EXPECT_GT (peak (out, 0, 4800 - first), 0.1f);
        EXPECT_GT (peak (out, 4800 + 24000 - first, out.size()), 0.05f);
        // The fade-in cross-fades from the synthesiser to the take.
        const float mid = out[(size_t) (4800 + 120 - first)];
        EXPECT_GT (mid, 0.25f - 0.2f * 0.5f - 1e-3f);
        EXPECT_LT (mid, 0.25f + 0.2f * 0.5f + 1e-3f);
    }

    //==============================================================================
    struct OverlapCase
    {
        const char* name;
        bool laterPublishedSecond;
    };

    class RegionOverlap : public PlaybackTest, public ::testing::WithParamInterface<OverlapCase> {};

    TEST_P (RegionOverlap, TheLaterPublishedRegionIsHeard)
    {
        const auto a = constantSignal (10000, 0.5f);   // host 0 .. 9999
        const auto b = constantSignal (10000, -0.25f); // host 5000 .. 14999
        if (GetParam().laterPublishedSecond)
        {
            publishRegion (*processor, 0, a);
            publishRegion (*processor, 5000, b);
        }
        else
        {
            publishRegion (*processor, 5000, b);
            publishRegion (*processor, 0, a);
        }
        host->play (0);
        const auto out = host->run (16000, 256);

        for (juce::int64 h = 0; h < 16000; ++h)
        {
            const double ga = (h < 10000) ? edgeGain (h, 10000, 48000.0) : 0.0;
            const double gb = (h >= 5000 && h < 15000) ? edgeGain (h - 5000, 10000, 48000.0) : 0.0;
            double expected;
            if (GetParam().laterPublishedSecond)
                expected = (1.0 - gb) * (ga * 0.5) + gb * -0.25;
            else
                expected = (1.0 - ga) * (gb * -0.25) + ga * 0.5;
            ASSERT_NEAR (out[(size_t) h], expected, 2e-6) << h;
        }
    }

    INSTANTIATE_TEST_SUITE_P (Core, RegionOverlap, ::testing::Values (
        OverlapCase { "LaterStartPublishedLast", true }, OverlapCase { "EarlierStartPublishedLast", false }), ByName());;

    TEST_F (PlaybackTest, SixtyFourStackedRegionsPlayTheLastOne)
    {
        for (int i = 0; i < Proc::regionCapacity; ++i)
            publishRegion (*processor, 0, constantSignal (4800, (float) (i + 1) / 100.0f));
        host->play (1000);
        const auto out = host->run (1024);
        for (float v : out)
            ASSERT_FLOAT_EQ (v, 0.64f);
    }

    //==============================================================================
    struct TailCase
    {
        const char* name;
        double rate;
        juce::int64 regionStart;
        int regionLength;
        juce::int64 stopAt;     // host sample where the last playing block ends
        int blockAfterStop;
    };

    class StopTail : public PlaybackTest, public ::testing::WithParamInterface<TailCase> {};

    TEST_P (StopTail, PlaysTheNextSevenMillisecondsFadingLinearly)
    {
        const auto c = GetParam();
        host->prepare (c.rate);
        const int tail = processor->tailLength;
        const auto x = rampSignal (c.regionLength);
        publishRegion (*processor, c.regionStart, x);
        host->play (0);
        host->run (c.stopAt, 100);
        ASSERT_EQ (host->playHead.samplePosition, c.stopAt);

        host->stop();
        const auto out = host->run (tail + 400, c.blockAfterStop);
        for (int i = 0; i < (int) out.size(); ++i)
        {
            const juce::int64 k = c.stopAt + i - c.regionStart;
            const bool inside = c.regionStart <= c.stopAt && c.stopAt < c.regionStart + c.regionLength;
            double expected = 0.0;
            if (inside && i < tail && k < c.regionLength)
                expected = (1.0 - (double) i / tail) * x[(size_t) k]; // raw samples: no edge fade
            ASSERT_NEAR (out[(size_t) i], expected, 2e-6) << "sample " << i << " after the stop";
        }
        EXPECT_FALSE (processor->tailFading);
    }

    INSTANTIATE_TEST_SUITE_P (Core, StopTail, ::testing::Values (
        TailCase { "MidRegion",          48000.0, 0,     48000, 24000, 512 },
        TailCase { "SmallBlocks",        48000.0, 0,     48000, 24000, 100 },
        TailCase { "OneSampleBlocks",    48000.0, 0,     48000, 24000, 1 },
        TailCase { "RegionEndsSoon",     48000.0, 0,     24100, 24000, 512 },
        TailCase { "InsideFadeOut",      48000.0, 1000,  23100, 24000, 64 },
        TailCase { "At44k1",             44100.0, 0,     44100, 22000, 256 },
        TailCase { "AtRegionStart",      48000.0, 24000, 10000, 24000, 512 },
        TailCase { "PastRegionEnd",      48000.0, 0,     24000, 24000, 512 },
        TailCase { "OutsideEveryRegion", 48000.0, 30000, 10000, 24000, 512 }), ByName());;

    TEST_F (PlaybackTest, RestartingTheTransportEndsTheTailAtOnce)
    {
        publishRegion (*processor, 0, constantSignal (48000, 0.5f));
        host->play (0);
        host->run (4800);
        host->stop();
        host->block (64);
        EXPECT_TRUE (processor->tailFading);

        host->play (100000); // outside the region
        const auto out = host->run (512);
        EXPECT_FALSE (processor->tailFading);
        EXPECT_EQ (peak (out, 0, out.size()), 0.0f);
        host->stop();
        EXPECT_EQ (peak (host->run (512), 0, 512), 0.0f);
    }

    TEST_F (PlaybackTest, TheTailIsAddedToTheLiveSound)
    {
        publishRegion (*processor, 0, constantSignal (48000, 0.5f));
        host->block (64, { { 0, noteOn (69, 127) } });
        host->play (0);
        host->run (9600);
        host->stop();
        const auto& b = host->block (64);
        // The faded take plus a synthesiser of at most 0.2.
        float largestDifference = 0.0f;
        for (int i = 0; i < 64; ++i)
        {
            const float difference = b.getSample (0, i) - 0.5f * (1.0f - (float) i / 336.0f);
            EXPECT_LE (std::abs (difference), 0.2f + 1e-4f) << i;
            largestDifference = juce::jmax (largestDifference, std::abs (difference));
        }
        EXPECT_GT (largestDifference, 0.1f);
    }

    //==============================================================================
    struct ChannelCase
    {
        int channels;
    };

    class OutputChannels : public ::testing::TestWithParam<ChannelCase> {};

    TEST_P (OutputChannels, EveryChannelGetsTheMonoTake)
    {
        const int channels = GetParam().channels;
        MarluneInstrumentProcessor p;
        p.setChannelLayoutOfBus (false, 0, channels == 1 ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo());
        HostDriver host (p, 8192, channels);
        host.prepare (48000.0);
        const auto x = rampSignal (2000);
        publishRegion (p, 100, x);
        host.play (0);
        const auto& b = host.block (2400);
        ASSERT_EQ (b.getNumChannels(), channels);
        for (int ch = 0; ch < channels; ++ch)
            for (int i = 0; i < 2400; ++i)
            {
                const juce::int64 k = i - 100;
                const double expected = (k >= 0 && k < 2000) ? edgeGain (k, 2000, 48000.0) * x[(size_t) k] : 0.0;
                ASSERT_NEAR (b.getSample (ch, i), expected, 2e-6) << "channel " << ch << " sample " << i;
            }

        // The stop tail reaches every channel too.
        host.stop();
        host.play (1000);
        host.block (64);
        host.stop();
        const auto& t = host.block (64);
        for (int ch = 0; ch < channels; ++ch)
            EXPECT_NEAR (t.getSample (ch, 0), x[1064 - 100], 2e-6) << ch;
    }

    INSTANTIATE_TEST_SUITE_P (Core, OutputChannels, ::testing::Values (ChannelCase { 1 }, ChannelCase { 2 }),
                              [] (const auto& c) { return c.param.channels == 1 ? std::string ("Mono") : std::string ("Stereo"); });

    TEST_F (PlaybackTest, ARateChangeKeepsRegionsSampleForSample)
    {
        const auto x = rampSignal (4800);
        publishRegion (*processor, 9600, x); // rendered while the host ran at 48 kHz
        host->play (0);
        host->run (20000);
        host->stop();
        host->block (512);

        host->prepare (96000.0);
        host->play (0);
        const auto out = host->run (20000);
        expectRegionAlone (out, 0, 9600, x, 96000.0); // same positions, same samples; 5 ms edges at the new rate
    }

    //==============================================================================
    struct HeardCase
    {
        const char* name;
        int state;
        bool playRegions;
        bool heard;
    };

    class TakesHeard : public PlaybackTest, public ::testing::WithParamInterface<HeardCase> {};

    TEST_P (TakesHeard, OnlyWhenPlayingAndNotArmedOrCapturing)
    {
        const auto c = GetParam();
        processor->playRegions.store (c.playRegions);
        publishRegion (*processor, 0, constantSignal (96000, 0.5f));
        host->play (0);
        host->block (512); // transport running before the state is set
        if (c.state == Proc::Capturing)
        {
            processor->arm();
            host->stop();
            host->block (512);
            host->play (512);
        }
        else if (c.state == Proc::Armed)
            processor->arm();
        else
            processor->state.store (c.state);

        const auto out = host->run (4800);
        ASSERT_EQ (processor->state.load(), c.state);
        EXPECT_EQ (peak (out, 0, out.size()), c.heard ? 0.5f : 0.0f);

        // No tail either when takes are not heard.
        host->stop();
        const auto after = host->run (512);
        EXPECT_EQ (peak (after, 0, after.size()) > 0.0f, c.heard && c.state != Proc::Capturing);
    }

    INSTANTIATE_TEST_SUITE_P (Core, TakesHeard, ::testing::Values (
        HeardCase { "Idle", Proc::Idle, true, true },
        HeardCase { "Rendering", Proc::Rendering, true, true },
        HeardCase { "Error", Proc::Error, true, true },
        HeardCase { "Armed", Proc::Armed, true, false },
        HeardCase { "Capturing", Proc::Capturing, true, false },
        HeardCase { "PlayRegionsOff", Proc::Idle, false, false },
        HeardCase { "PlayRegionsOffRendering", Proc::Rendering, false, false }), ByName());;

    TEST_F (PlaybackTest, PlayRegionsOffGivesExactlyTheSynthesiser)
    {
        MarluneInstrumentProcessor reference;
        HostDriver refHost (reference);
        refHost.prepare (48000.0);

        processor->playRegions.store (false);
        publishRegion (*processor, 0, constantSignal (48000, 0.5f));
        const std::vector<TimedEvent> notes = { { 0, noteOn (64) }, { 6000, noteOff (64) } };
        host->play (0);
        refHost.play (0);
        const auto out = runTimeline (*host, notes, 12000);
        EXPECT_EQ (out, runTimeline (refHost, notes, 12000));
    }

    TEST_F (PlaybackTest, StoppedTransportPlaysNoTakes)
    {
        publishRegion (*processor, 0, constantSignal (48000, 0.5f));
        host->stop();
        EXPECT_EQ (peak (host->run (4800), 0, 4800), 0.0f);
    }

    struct NoPositionCase
    {
        const char* name;
        bool playHead;          // false: no play head at all
        juce::int64 regionStart;
        bool heard;
    };

    class NoHostPosition : public PlaybackTest, public ::testing::WithParamInterface<NoPositionCase> {};

    TEST_P (NoHostPosition, PlaysOnlyWhatCoversSampleZero)
    {
        const auto c = GetParam();
        const auto x = rampSignal (4000);
        publishRegion (*processor, c.regionStart, x);
        host->playHead.hasSamplePosition = false;
        host->play (0);
        if (! c.playHead)
            processor->setPlayHead (nullptr);

        for (int i = 0; i < 4; ++i)
        {
            const auto& b = host->block (512);
            for (int s = 0; s < 512; ++s)
            {
                const double expected = c.heard ? edgeGain (s, 4000, 48000.0) * x[(size_t) s] : 0.0;
                ASSERT_NEAR (b.getSample (0, s), expected, 2e-6) << "block " << i << " sample " << s;
            }
        }
        processor->setPlayHead (&host->playHead);
    }

    INSTANTIATE_TEST_SUITE_P (Core, NoHostPosition, ::testing::Values (
        NoPositionCase { "NoPlayHead", false, 0, false },
        NoPositionCase { "NoSamplePositionRegionAtZero", true, 0, true },
        NoPositionCase { "NoSamplePositionRegionLater", true, 48000, false }), ByName());;

    //==============================================================================
    struct LockCase
    {
        const char* name;
        bool fromOtherThread;
    };

    class RegionsLockHeld : public PlaybackTest, public ::testing::WithParamInterface<LockCase> {};

    TEST_P (RegionsLockHeld, TheBlockPlaysTheLiveSoundInsteadOfWaiting)
    {
        publishRegion (*processor, 0, constantSignal (96000, 0.5f));
        host->play (0);
        host->block (512, { { 0, noteOn (69, 127) } });
        host->run (4096);

        std::mutex m;
        std::condition_variable cv;
        bool held = false, release = false;
        std::thread holder;
        std::optional<juce::SpinLock::ScopedLockType> ownLock;

        if (GetParam().fromOtherThread)
        {
            holder = std::thread ([&] {
                const juce::SpinLock::ScopedLockType sl (processor->regionsLock);
                std::unique_lock<std::mutex> lk (m);
                held = true;
                cv.notify_all();
                cv.wait (lk, [&] { return release; });
            });
            std::unique_lock<std::mutex> lk (m);
            cv.wait (lk, [&] { return held; });
        }
        else
        {
            ownLock.emplace (processor->regionsLock); // a spin lock: the audio thread's try fails
        }

        // If the block waited for the lock it would never return.
        const auto& b = host->block (512);
        EXPECT_GT (b.getMagnitude (0, 0, 512), 0.1f);
        EXPECT_LE (b.getMagnitude (0, 0, 512), 0.2f);
        EXPECT_FALSE (processor->tailValid); // the snapshot's own try failed too

        if (GetParam().fromOtherThread)
        {
            {
                std::lock_guard<std::mutex> lk (m);
                release = true;
            }
            cv.notify_all();
            holder.join();
        }
        else
        {
            ownLock.reset();
        }

        const auto& next = host->block (512);
        for (int i = 0; i < 512; ++i)
            ASSERT_EQ (next.getSample (0, i), 0.5f) << i;
    }

    INSTANTIATE_TEST_SUITE_P (Core, RegionsLockHeld, ::testing::Values (
        LockCase { "ByTheTestThread", false }, LockCase { "ByAnotherThread", true }), ByName());;

    //==============================================================================
    TEST_F (PlaybackTest, ClearingRemovesEveryTakeAndSaysSo)
    {
        publishRegion (*processor, 0, constantSignal (48000, 0.5f));
        publishRegion (*processor, 0, constantSignal (48000, 0.25f));
        processor->clearRegions();
        EXPECT_EQ (processor->getNumRegions(), 0);
        EXPECT_EQ (processor->getStatus(), "Cleared all takes.");
        host->play (0);
        EXPECT_EQ (peak (host->run (4800), 0, 4800), 0.0f);
    }

    TEST_F (PlaybackTest, RegionsSurviveArmingCapturingAndPreparation)
    {
        publishRegion (*processor, 0, constantSignal (48000, 0.5f));
        processor->arm();
        host->play (0);
        host->run (1024);
        host->stop();
        host->block (512);
        host->prepare (44100.0);
        processor->resetCapture();
        EXPECT_EQ (processor->getNumRegions(), 1);
        host->play (1000);
        EXPECT_EQ (host->block (512).getSample (0, 0), 0.5f);
    }
}
