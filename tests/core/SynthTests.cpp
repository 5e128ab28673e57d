// The monitoring synthesiser, measured from the processor's output: pitch,
// level, envelope timing, the key stack, vibrato and pitch bend.

#include "CoreTestSupport.h"

#include <limits>
#include <string>

using namespace marlune::test;

namespace
{
    /** A processor of its own, for runs that are compared with each other. */
    struct Voice
    {
        explicit Voice (double rate = 48000.0, int channels = 2) : host (processor, 8192, channels)
        {
            host.prepare (rate);
        }

        std::vector<float> play (const std::vector<TimedEvent>& events, juce::int64 total, int blockSize = 512)
        {
            return runTimeline (host, events, total, blockSize);
        }

        MarluneInstrumentProcessor processor;
        HostDriver host;
    };

    double hzOf (int note) { return 440.0 * std::pow (2.0, (note - 69) / 12.0); }

    //==============================================================================
    struct PitchCase
    {
        int note;
        double rate;
    };

    class SynthPitch : public ::testing::TestWithParam<PitchCase> {};

    TEST_P (SynthPitch, FollowsTheKey)
    {
        const auto c = GetParam();
        Voice v (c.rate);
        const auto out = v.play ({ { 0, noteOn (c.note, 127) } }, (juce::int64) (0.6 * c.rate));
        const double hz = measureFrequency (out, (size_t) (0.05 * c.rate), out.size(), c.rate);
        EXPECT_NEAR (hz, hzOf (c.note), hzOf (c.note) * 2e-4);
    }

    INSTANTIATE_TEST_SUITE_P (Core, SynthPitch, ::testing::Values (
        PitchCase { 69, 48000.0 }, PitchCase { 57, 48000.0 }, PitchCase { 81, 48000.0 }, PitchCase { 60, 48000.0 },
        PitchCase { 93, 48000.0 }, PitchCase { 69, 44100.0 }, PitchCase { 69, 96000.0 }),
        [] (const auto& c) { return "Note" + std::to_string (c.param.note) + "At" + std::to_string ((int) c.param.rate); });

    struct LevelCase
    {
        int velocity;
    };

    class SynthLevel : public ::testing::TestWithParam<LevelCase> {};

    TEST_P (SynthLevel, PeakApproachesMonitorGainTimesVelocity)
    {
        Voice v;
        const int vel = GetParam().velocity;
        const auto out = v.play ({ { 0, noteOn (69, vel) } }, 2400);
        // 30..50 ms: the velocity smoother has settled; the decay has taken about 0.5 %.
        const float expected = 0.2f * (float) vel / 127.0f * (1.0f - 0.99f * 0.04f / 5.0f);
        EXPECT_NEAR (peak (out, 1440, 2400), expected, expected * 0.005f);
        EXPECT_LE (peak (out, 0, out.size()), 0.2f * (float) vel / 127.0f + 1e-6f);
    }

    INSTANTIATE_TEST_SUITE_P (Core, SynthLevel, ::testing::Values (LevelCase { 127 }, LevelCase { 64 }, LevelCase { 1 }),
                              [] (const auto& c) { return "Velocity" + std::to_string (c.param.velocity); });

    TEST (Synth, IsSilentBeforeAnyNote)
    {
        Voice v;
        v.processor.vibratoAmount.store (1.0f);
        const auto out = v.play ({ { 100, bend (0) } }, 4800);
        EXPECT_EQ (peak (out, 0, out.size()), 0.0f);
    }

    TEST (Synth, EventsTakeEffectAtTheirSample)
    {
        Voice v;
        v.processor.monitorRelease.store (-1.0f);
        const auto& b = v.host.block (512, { { 100, noteOn (69, 127) }, { 300, noteOff (69) } });
        for (int i = 0; i <= 100; ++i) // the first sample of the note is sin (0)
            ASSERT_EQ (b.getSample (0, i), 0.0f) << i;
        EXPECT_NE (b.getSample (0, 101), 0.0f);
        EXPECT_NE (b.getSample (0, 299), 0.0f);
        for (int i = 300; i < 512; ++i)
            ASSERT_EQ (b.getSample (0, i), 0.0f) << i;
    }

    TEST (Synth, OutputDoesNotDependOnBlockSize)
    {
        const std::vector<TimedEvent> performance = {
            { 0, noteOn (60, 90) }, { 700, modWheel (100) }, { 1111, bend (12000) }, { 3000, noteOn (67, 40) },
            { 5000, noteOff (67) }, { 6001, bend (8192) }, { 8000, noteOff (60) }, { 9000, noteOn (72) } };

        Voice reference;
        const auto expected = reference.play (performance, 12000, 512);
        for (int blockSize : { 1, 7, 64, 333, 4096 })
        {
            Voice v;
            EXPECT_EQ (v.play (performance, 12000, blockSize), expected) << "block size " << blockSize;
        }
    }

    TEST (Synth, EveryChannelCarriesTheSameVoice)
    {
        for (int channels : { 1, 2 })
        {
            Voice v (48000.0, channels);
            const auto& b = v.host.block (1024, { { 0, noteOn (64) } });
            ASSERT_EQ (b.getNumChannels(), channels);
            EXPECT_GT (b.getMagnitude (0, 0, 1024), 0.1f);
            for (int ch = 1; ch < channels; ++ch)
                for (int i = 0; i < 1024; ++i)
                    ASSERT_EQ (b.getSample (ch, i), b.getSample (0, i));
        }
    }

    //==============================================================================
    // Envelope timing: dividing one run by another that differs only in one
    // envelope setting leaves that setting's shape, free of the tone and smoothers.
    std::vector<double> envelopeRatio (const std::function<void (Proc&)>& setA, const std::function<void (Proc&)>& setB,
                                       juce::int64 total, std::vector<size_t>& valid)
    {
        Voice a, b;
        setA (a.processor);
        setB (b.processor);
        const auto outA = a.play ({ { 0, noteOn (69, 127) } }, total);
        const auto outB = b.play ({ { 0, noteOn (69, 127) } }, total);
        std::vector<double> ratio (outA.size(), 0.0);
        for (size_t i = 0; i < outA.size(); ++i)
            if (std::abs (outB[i]) > 0.02f)
            {
                ratio[i] = outA[i] / outB[i];
                valid.push_back (i);
            }
        return ratio;
    }

    TEST (SynthEnvelope, DefaultAttackRisesLinearlyToFullIn7ms)
    {
        std::vector<size_t> valid;
        const auto ratio = envelopeRatio ([] (Proc&) {}, [] (Proc& p) { p.attack.store (0.0f); }, 1200, valid);
        ASSERT_GT (valid.size(), 500u);
        for (auto i : valid)
        {
            const double expected = juce::jmin (1.0, (double) (i + 1) / 336.0);
            ASSERT_NEAR (ratio[i], expected, 0.01) << "sample " << i;
        }
    }

    TEST (SynthEnvelope, DefaultDecayFallsLinearlyToSustainOver5s)
    {
        std::vector<size_t> valid;
        const auto ratio = envelopeRatio ([] (Proc&) {}, [] (Proc& p) { p.sustain.store (1.0f); }, 6 * 48000, valid);
        const auto near = [&] (double seconds) {
            for (auto i : valid)
                if ((double) i >= seconds * 48000.0)
                    return ratio[i];
            return -1.0;
        };
        for (double t : { 0.5, 1.0, 2.5, 4.0, 4.9 })
            EXPECT_NEAR (near (t), 1.0 - 0.99 * (t - 0.007) / 5.0, 0.003) << t << " s";
        EXPECT_NEAR (near (5.1), 0.01, 1e-4);
        EXPECT_NEAR (near (5.9), 0.01, 1e-4);
    }

    struct ReleaseCase
    {
        const char* name;
        float monitorRelease;
        int soundingSamples; // after the note-off
    };

    class SynthRelease : public ::testing::TestWithParam<ReleaseCase> {};

    TEST_P (SynthRelease, EndsTheNoteWithinTheReleaseTime)
    {
        const auto c = GetParam();
        Voice v;
        v.processor.monitorRelease.store (c.monitorRelease);
        const juce::int64 off = 24000;
        const auto out = v.play ({ { 0, noteOn (69, 127) }, { off, noteOff (69) } }, 48000, 500);

        juce::int64 last = -1;
        for (size_t i = 0; i < out.size(); ++i)
            if (out[i] != 0.0f)
                last = (juce::int64) i;
        EXPECT_GE (last - off + 1, c.soundingSamples - 3);
        EXPECT_LE (last - off + 1, c.soundingSamples);
        EXPECT_GT (std::abs (out[(size_t) off - 10]), 0.0f);
    }

    INSTANTIATE_TEST_SUITE_P (Core, SynthRelease, ::testing::Values (
        ReleaseCase { "Default5ms", 0.005f, 240 }, ReleaseCase { "Long20ms", 0.02f, 960 },
        ReleaseCase { "Zero", 0.0f, 0 }, ReleaseCase { "Negative", -1.0f, 0 }, ReleaseCase { "SlightlyNegative", -0.0001f, 0 }), ByName());;

    TEST (SynthEnvelope, SettingChangesApplyFromTheNextBlock)
    {
        Voice v;
        v.host.block (4800, { { 0, noteOn (69, 127) } });
        v.processor.monitorRelease.store (-1.0f);
        const auto& b = v.host.block (512, { { 200, noteOff (69) } });
        EXPECT_NE (b.getSample (0, 199), 0.0f);
        EXPECT_EQ (b.getMagnitude (0, 200, 312), 0.0f);
    }

    TEST (SynthEnvelope, NonFiniteSettingsNeverReachTheOutput)
    {
        Voice v;
        v.processor.attack.store (std::numeric_limits<float>::quiet_NaN());
        v.processor.decay.store (std::numeric_limits<float>::infinity());
        const auto out = v.play ({ { 0, noteOn (69, 127) }, { 2000, noteOff (69) }, { 3000, noteOn (70) } }, 9600);
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_TRUE (std::isfinite (out[i])) << i;
        EXPECT_GT (peak (out, 0, out.size()), 0.0f);
    }

    //==============================================================================
    struct StackCase
    {
        const char* name;
        std::vector<int> pressed;   // in order, 10 ms apart
        std::vector<int> released;  // afterwards, 10 ms apart
        int sounding;
    };

    class KeyStack : public ::testing::TestWithParam<StackCase> {};

    TEST_P (KeyStack, TheNewestHeldKeySounds)
    {
        const auto& c = GetParam();
        Voice v;
        v.processor.sustain.store (1.0f); // a steady level makes every key measurable
        std::vector<TimedEvent> events;
        juce::int64 t = 0;
        for (int n : c.pressed)
            events.push_back ({ t += 480, noteOn (n) });
        for (int n : c.released)
            events.push_back ({ t += 480, noteOff (n) });
        const auto out = v.play (events, t + 9600);
        const double hz = measureFrequency (out, (size_t) t + 1440, out.size(), 48000.0);
        EXPECT_NEAR (hz, hzOf (c.sounding), hzOf (c.sounding) * 1e-3);
    }

    std::vector<int> range (int from, int count)
    {
        std::vector<int> r;
        for (int i = 0; i < count; ++i)
            r.push_back (from + i);
        return r;
    }

    INSTANTIATE_TEST_SUITE_P (Core, KeyStack, ::testing::Values (
        StackCase { "ReleaseNewestReturnsToOlder", { 60, 64 }, { 64 }, 60 },
        StackCase { "ReleaseOlderKeepsNewest", { 60, 64 }, { 60 }, 64 },
        StackCase { "ReleaseMiddleKeepsNewest", { 60, 64, 67 }, { 64 }, 67 },
        StackCase { "ReleaseNewestOfThree", { 60, 64, 67 }, { 67 }, 64 },
        StackCase { "ReleasingARepeatedKeyRemovesEveryCopy", { 60, 64, 60 }, { 60 }, 64 },
        StackCase { "SeventeenthKeySoundsUnstacked", range (50, 17), {}, 66 },
        StackCase { "SeventeenthKeyReleasedReturnsToSixteenth", range (50, 17), { 66 }, 65 }), ByName());;

    TEST (KeyStack, ReturningToAHeldKeyKeepsItsVelocityWithoutANewAttack)
    {
        Voice v;
        const auto out = v.play ({ { 0, noteOn (60, 64) }, { 24000, noteOn (64, 127) },
                                   { 48000, noteOff (64) }, { 72000, noteOff (60) } }, 84000);

        EXPECT_NEAR (measureFrequency (out, 50000, 70000, 48000.0), hzOf (60), 0.3);

        // The press of 64 restarted the decay at 0.5 s; returning to 60 must not.
        const float expected = 0.2f * 64.0f / 127.0f * (float) (1.0 - 0.99 * 0.6 / 5.0);
        EXPECT_NEAR (peak (out, 52800, 53760), expected, expected * 0.02f);

        // Releasing the last key silences the voice within the 5 ms release.
        EXPECT_GT (peak (out, 72000, 72100), 0.0f);
        EXPECT_EQ (peak (out, 72000 + 241, out.size()), 0.0f);
    }

    TEST (KeyStack, ANewKeyRestartsTheAttackFromTheCurrentLevel)
    {
        Voice v;
        const auto out = v.play ({ { 0, noteOn (60) }, { 24000, noteOn (72) } }, 30000);
        const float before = peak (out, 23000, 24000);
        ASSERT_GT (before, 0.1f);
        // From 0 the first 2 ms would stay under 2/7 of the level.
        EXPECT_GT (peak (out, 24000, 24096), 0.8f * before);
        float lowest = 1.0f;
        for (size_t from = 24000; from < 24480; from += 48) // per cycle of 1 kHz
            lowest = juce::jmin (lowest, peak (out, from, from + 48));
        EXPECT_GT (lowest, 0.8f * before);
    }

    //==============================================================================
    struct VibratoCase
    {
        float speedHz;
        float maxSemis;
    };

    class Vibrato : public ::testing::TestWithParam<VibratoCase> {};

    TEST_P (Vibrato, SwingsThePitchByTheMaximumAtTheSpeed)
    {
        const auto c = GetParam();
        Voice v;
        v.processor.sustain.store (1.0f);
        v.processor.vibratoAmount.store (1.0f);
        v.processor.vibratoSpeedHz.store (c.speedHz);
        v.processor.vibratoMaxSemis.store (c.maxSemis);
        const auto out = v.play ({ { 0, noteOn (69, 127) } }, 48000 + 14400);

        double highest = -100.0, lowest = 100.0;
        int signChanges = 0;
        double previous = 0.0;
        for (const auto& [at, hz] : cycleFrequencies (out, 48000.0))
        {
            if (at < 14400.0)
                continue;
            const double s = semitones (hz, 440.0);
            highest = juce::jmax (highest, s);
            lowest = juce::jmin (lowest, s);
            if (previous != 0.0 && (s > 0.0) != (previous > 0.0))
                ++signChanges;
            previous = s;
        }
        EXPECT_NEAR (highest, c.maxSemis, 0.03 * c.maxSemis + 0.005);
        EXPECT_NEAR (lowest, -c.maxSemis, 0.03 * c.maxSemis + 0.005);
        EXPECT_NEAR (signChanges, 2.0 * c.speedHz, 1.0); // over one second
    }

    INSTANTIATE_TEST_SUITE_P (Core, Vibrato, ::testing::Values (
        VibratoCase { 5.0f, 0.5f }, VibratoCase { 2.0f, 1.0f }, VibratoCase { 8.0f, 0.25f }));

    TEST (Vibrato, AmountZeroLeavesThePitchSteady)
    {
        Voice v;
        v.processor.vibratoMaxSemis.store (2.0f);
        const auto out = v.play ({ { 0, noteOn (69, 127) } }, 24000);
        for (const auto& [at, hz] : cycleFrequencies (out, 48000.0))
            ASSERT_NEAR (hz, 440.0, 0.05) << at;
    }

    //==============================================================================
    struct GlideCase
    {
        int value14;
        float range;
        double target; // semitones
    };

    class BendGlide : public ::testing::TestWithParam<GlideCase> {};

    TEST_P (BendGlide, ReachesTheBendWithA4msTimeConstant)
    {
        const auto c = GetParam();
        Voice v;
        v.processor.sustain.store (1.0f);
        v.processor.bendRange.store (c.range);
        const juce::int64 at = 4800;
        const auto out = v.play ({ { 0, noteOn (93, 127) }, { at, bend (c.value14) } }, 12000);
        const double base = hzOf (93);

        int checked = 0;
        for (const auto& [t, hz] : cycleFrequencies (out, 48000.0))
        {
            const double since = (t - (double) at) / 48000.0;
            if (since < 0.0005 || since > 0.1)
                continue;
            const double expected = c.target * (1.0 - std::exp (-since / 0.004));
            ASSERT_NEAR (semitones (hz, base), expected, 0.03 * std::abs (c.target) + 0.01) << since << " s";
            ++checked;
        }
        EXPECT_GT (checked, 100);
        EXPECT_NEAR (semitones (measureFrequency (out, 9600, out.size(), 48000.0), base), c.target, 0.005);
    }

    INSTANTIATE_TEST_SUITE_P (Core, BendGlide, ::testing::Values (
        GlideCase { 16383, 2.0f, 2.0 * 8191.0 / 8192.0 }, GlideCase { 0, 2.0f, -2.0 },
        GlideCase { 8192, 2.0f, 0.0 }, GlideCase { 0, 4.0f, -4.0 }, GlideCase { 12288, 1.0f, 0.5 }));

    struct TransportCase
    {
        const char* name;
        bool playingFirst;
    };

    class TransportChange : public ::testing::TestWithParam<TransportCase> {};

    TEST_P (TransportChange, ResetsTheBendAtOnce)
    {
        Voice v;
        v.processor.sustain.store (1.0f);
        if (GetParam().playingFirst)
            v.host.play (0);
        auto bent = v.play ({ { 0, noteOn (69, 127) }, { 10, bend (16383) } }, 9600);
        ASSERT_NEAR (measureFrequency (bent, 4800, bent.size(), 48000.0), 440.0 * std::pow (2.0, 2.0 * 8191.0 / 8192.0 / 12.0), 0.2);

        if (GetParam().playingFirst)
            v.host.stop();
        else
            v.host.play (48000);
        const auto after = v.play ({}, 4800);
        for (const auto& [at, hz] : cycleFrequencies (after, 48000.0))
            ASSERT_NEAR (hz, 440.0, 0.3) << at;
    }

    INSTANTIATE_TEST_SUITE_P (Core, TransportChange, ::testing::Values (
        TransportCase { "Start", false }, TransportCase { "Stop", true }), ByName());;

    //==============================================================================
    struct StateCase
    {
        const char* name;
        int state;
        bool playing;
        bool playHead;
    };

    class SynthInEveryState : public ::testing::TestWithParam<StateCase> {};

    TEST_P (SynthInEveryState, SoundsTheKeys)
    {
        const auto c = GetParam();
        Voice v;
        if (c.state == Proc::Armed)
            v.processor.arm();
        else
            v.processor.state.store (c.state);
        if (c.playing)
            v.host.play (0);
        if (! c.playHead)
            v.processor.setPlayHead (nullptr);
        const auto out = v.play ({ { 0, noteOn (69, 127) } }, 9600);
        EXPECT_NEAR (measureFrequency (out, 2400, out.size(), 48000.0), 440.0, 0.1);
        EXPECT_GT (peak (out, 2400, out.size()), 0.19f);
        v.processor.setPlayHead (&v.host.playHead);
    }

    INSTANTIATE_TEST_SUITE_P (Core, SynthInEveryState, ::testing::Values (
        StateCase { "IdleStopped", Proc::Idle, false, true }, StateCase { "ArmedStopped", Proc::Armed, false, true },
        StateCase { "Capturing", Proc::Armed, true, true }, StateCase { "RenderingStopped", Proc::Rendering, false, true },
        StateCase { "ErrorPlaying", Proc::Error, true, true }, StateCase { "NoPlayHead", Proc::Idle, false, false }), ByName());;
}
