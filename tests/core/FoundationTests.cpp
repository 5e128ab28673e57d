// The processor's identity, buses, construction, preparation, meter and
// destruction, as a host sees them.

#include "CoreTestSupport.h"

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

using namespace marlune::test;

namespace
{
    //==============================================================================
    TEST_F (ProcessorTest, ReportsTheInstrumentsIdentity)
    {
        EXPECT_EQ (processor->getName(), "Marlune Orvane");
        EXPECT_EQ (processor->getTailLengthSeconds(), 0.0);
        EXPECT_EQ (processor->getNumPrograms(), 1);
        EXPECT_EQ (processor->getCurrentProgram(), 0);
        EXPECT_TRUE (processor->getProgramName (0).isEmpty());
        EXPECT_TRUE (processor->acceptsMidi());
        EXPECT_FALSE (processor->producesMidi());
        EXPECT_FALSE (processor->isMidiEffect());
        EXPECT_TRUE (processor->hasEditor());

        // Program changes are accepted and ignored.
        processor->setCurrentProgram (3);
        processor->changeProgramName (0, "renamed");
        EXPECT_EQ (processor->getCurrentProgram(), 0);
        EXPECT_TRUE (processor->getProgramName (0).isEmpty());
    }

    TEST_F (ProcessorTest, StartsWithOneStereoOutputAndNoInput)
    {
        EXPECT_EQ (processor->getBusCount (true), 0);
        ASSERT_EQ (processor->getBusCount (false), 1);
        EXPECT_EQ (processor->getBus (false, 0)->getName(), "Output");
        EXPECT_EQ (processor->getBus (false, 0)->getCurrentLayout(), juce::AudioChannelSet::stereo());
        EXPECT_TRUE (processor->getBus (false, 0)->isEnabled());
    }

    //==============================================================================
    struct LayoutCase
    {
        const char* name;
        std::vector<juce::AudioChannelSet> outputs;
        std::vector<juce::AudioChannelSet> inputs;
        bool accepted;
    };

    class BusLayouts : public ProcessorTest, public ::testing::WithParamInterface<LayoutCase> {};

    TEST_P (BusLayouts, AcceptsOnlyMonoOrStereoMainOutput)
    {
        juce::AudioProcessor::BusesLayout layout;
        for (const auto& set : GetParam().outputs)
            layout.outputBuses.add (set);
        for (const auto& set : GetParam().inputs)
            layout.inputBuses.add (set);
        EXPECT_EQ (processor->isBusesLayoutSupported (layout), GetParam().accepted);
    }

    INSTANTIATE_TEST_SUITE_P (Core, BusLayouts, ::testing::Values (
        LayoutCase { "Mono",            { juce::AudioChannelSet::mono() },        {}, true },
        LayoutCase { "Stereo",          { juce::AudioChannelSet::stereo() },      {}, true },
        LayoutCase { "StereoAnyInput",  { juce::AudioChannelSet::stereo() },      { juce::AudioChannelSet::create5point1() }, true },
        LayoutCase { "FivePointOne",    { juce::AudioChannelSet::create5point1() }, {}, false },
        LayoutCase { "Quadraphonic",    { juce::AudioChannelSet::quadraphonic() }, {}, false },
        LayoutCase { "DisabledOutput",  { juce::AudioChannelSet::disabled() },    {}, false },
        LayoutCase { "NoOutputBus",     {},                                       { juce::AudioChannelSet::stereo() }, false }), ByName());;

    TEST_F (ProcessorTest, HostCanSwitchTheOutputToMono)
    {
        processor->releaseResources();
        ASSERT_TRUE (processor->setChannelLayoutOfBus (false, 0, juce::AudioChannelSet::mono()));
        EXPECT_EQ (processor->getTotalNumOutputChannels(), 1);
        EXPECT_FALSE (processor->setChannelLayoutOfBus (false, 0, juce::AudioChannelSet::create5point1()));
        EXPECT_EQ (processor->getTotalNumOutputChannels(), 1);
    }

    //==============================================================================
    /** Sets or unsets the variable for one scope and puts the old value back. */
    class ScopedEnvironment
    {
    public:
        ScopedEnvironment (const char* name, std::optional<std::string> value) : variable (name)
        {
            if (const char* old = std::getenv (name))
                previous = std::string (old);
            if (value)
                ::setenv (name, value->c_str(), 1);
            else
                ::unsetenv (name);
        }

        ~ScopedEnvironment()
        {
            if (previous)
                ::setenv (variable, previous->c_str(), 1);
            else
                ::unsetenv (variable);
        }

    private:
        const char* variable;
        std::optional<std::string> previous;
    };

    struct UrlCase
    {
        const char* name;
        std::optional<std::string> variable;
        std::string expected;
    };

    class ServiceAddress : public ::testing::TestWithParam<UrlCase> {};

    TEST_P (ServiceAddress, ComesFromTheEnvironmentWhenSetAndNotEmpty)
    {
        const ScopedEnvironment env (kServiceUrlVariable, GetParam().variable);
        MarluneInstrumentProcessor p;
        EXPECT_EQ (p.getBackendUrl().toStdString(), GetParam().expected);
    }

    INSTANTIATE_TEST_SUITE_P (Core, ServiceAddress, ::testing::Values (
        UrlCase { "Unset",          std::nullopt,                      kProductionServiceUrl },
        UrlCase { "Empty",          std::string(),                     kProductionServiceUrl },
        UrlCase { "Local",          std::string ("http://127.0.0.1:8787"), "http://127.0.0.1:8787" },
        UrlCase { "KeptUntrimmed",  std::string ("  http://x.test/ "), "  http://x.test/ " }), ByName());;

    TEST (ProductionAddress, IsHttps)
    {
        EXPECT_TRUE (juce::String (kProductionServiceUrl).startsWith ("https://"));
    }

    //==============================================================================
    struct RateCase
    {
        double rate;
        int tailLength;
    };

    class Preparation : public ProcessorTest, public ::testing::WithParamInterface<RateCase> {};

    TEST_P (Preparation, SizesTheStopTailAndTheSmoothers)
    {
        const double rate = GetParam().rate;
        host->prepare (rate);

        EXPECT_EQ (processor->currentSampleRate, rate);
        EXPECT_EQ (processor->tailLength, GetParam().tailLength);
        EXPECT_EQ (processor->tailBuffer.getNumChannels(), 1);
        EXPECT_EQ (processor->tailBuffer.getNumSamples(), GetParam().tailLength);
        EXPECT_NEAR (processor->bendSmoothing, 1.0 - std::exp (-1.0 / (0.004 * rate)), 1e-12);
        EXPECT_NEAR (processor->velocitySmoothing, 1.0 - std::exp (-1.0 / (0.003 * rate)), 1e-12);
        EXPECT_FALSE (processor->tailValid);
        EXPECT_FALSE (processor->tailFading);
        EXPECT_EQ (processor->tailPosition, 0);
    }

    INSTANTIATE_TEST_SUITE_P (Core, Preparation, ::testing::Values (
        RateCase { 4000.0, 32 }, RateCase { 4700.0, 32 }, RateCase { 4800.0, 33 },
        RateCase { 44100.0, 308 }, RateCase { 48000.0, 336 }, RateCase { 96000.0, 672 },
        RateCase { 192000.0, 1344 }),
        [] (const auto& c) { return std::to_string ((int) c.param.rate) + "Hz"; });

    TEST_F (ProcessorTest, SmoothingCoefficientsAt48kHz)
    {
        EXPECT_NEAR (processor->bendSmoothing, 0.005195, 1e-6);
        EXPECT_NEAR (processor->velocitySmoothing, 0.00692, 1e-5);
    }

    TEST_F (ProcessorTest, PreparationKeepsStateCaptureAndRegions)
    {
        processor->arm();
        host->play (0);
        host->block (256, { { 10, noteOn (60) } });
        publishRegion (*processor, 0, constantSignal (100, 0.5f));

        host->prepare (44100.0);

        EXPECT_EQ (processor->state.load(), Proc::Capturing);
        EXPECT_EQ (processor->capturedNotes.size(), 1u);
        EXPECT_EQ (processor->getNumRegions(), 1);
        EXPECT_EQ (processor->heldCount, 0);
        EXPECT_EQ (processor->noteFrequency, 0.0);
        EXPECT_FALSE (processor->wasPlaying);
    }

    //==============================================================================
    TEST_F (ProcessorTest, MeterHoldsThePeakAndDecaysBy088PerSilentBlock)
    {
        publishRegion (*processor, 0, constantSignal (4096, -0.75f));
        host->play (0);
        host->block (512);
        host->block (512); // past the fade-in: full level
        const float loud = processor->outputLevel.load();
        EXPECT_FLOAT_EQ (loud, 0.75f);

        host->play (1'000'000); // outside the region: silent blocks
        float expected = loud;
        for (int i = 0; i < 5; ++i)
        {
            host->block (512);
            expected *= 0.88f;
            EXPECT_FLOAT_EQ (processor->outputLevel.load(), expected) << "silent block " << i;
        }
    }

    TEST_F (ProcessorTest, MeterRisesAtOnceToALouderBlock)
    {
        host->block (512, { { 0, noteOn (69, 127) } });
        const float quiet = processor->outputLevel.load();
        publishRegion (*processor, 0, constantSignal (48000, 0.9f));
        host->play (0);
        host->block (512);
        host->block (512);
        EXPECT_GT (processor->outputLevel.load(), quiet);
        EXPECT_FLOAT_EQ (processor->outputLevel.load(), 0.9f);
    }

    //==============================================================================
    template <typename T>
    struct SettingDefault
    {
        const char* name;
        std::atomic<T> Proc::* member;
        T expected;
    };

    TEST (FreshProcessor, ReportsEveryDefault)
    {
        MarluneInstrumentProcessor p;

        const SettingDefault<float> floats[] = {
            { "attack", &Proc::attack, 0.007f },            { "decay", &Proc::decay, 5.0f },
            { "sustain", &Proc::sustain, 0.01f },           { "release", &Proc::release, 0.005f },
            { "loudnessGainDb", &Proc::loudnessGainDb, 10.0f }, { "velocityCurve", &Proc::velocityCurve, 1.0f },
            { "timbreDynamics", &Proc::timbreDynamics, 0.75f }, { "noiseDb", &Proc::noiseDb, -80.0f },
            { "loudnessFloor", &Proc::loudnessFloor, -80.0f }, { "gateDb", &Proc::gateDb, -80.0f },
            { "bendRange", &Proc::bendRange, 2.0f },        { "decayCurve", &Proc::decayCurve, 4.0f },
            { "monitorRelease", &Proc::monitorRelease, 0.005f }, { "outputLevel", &Proc::outputLevel, 0.0f },
            { "reverbTailMs", &Proc::reverbTailMs, 250.0f }, { "vibratoSpeedHz", &Proc::vibratoSpeedHz, 5.0f },
            { "vibratoAmount", &Proc::vibratoAmount, 0.0f }, { "vibratoMaxSemis", &Proc::vibratoMaxSemis, 0.5f },
        };
        for (const auto& s : floats)
            EXPECT_EQ ((p.*s.member).load(), s.expected) << s.name;

        const SettingDefault<bool> switches[] = {
            { "normalizeLoudness", &Proc::normalizeLoudness, true }, { "playRegions", &Proc::playRegions, true },
            { "muted", &Proc::muted, false },                       { "use48kModel", &Proc::use48kModel, true },
            { "chunkAtSilence", &Proc::chunkAtSilence, true },      { "streamWhileRecording", &Proc::streamWhileRecording, true },
        };
        for (const auto& s : switches)
            EXPECT_EQ ((p.*s.member).load(), s.expected) << s.name;

        EXPECT_EQ (p.getStatus(), "Idle - arm, then play a segment to capture.");
        EXPECT_EQ (p.state.load(), Proc::Idle);
        EXPECT_FALSE (p.captureEnded.load());
        EXPECT_FALSE (p.capturedOffline.load());
        EXPECT_FALSE (p.isSignedIn());
        EXPECT_TRUE (p.getAccountEmail().isEmpty());
        EXPECT_TRUE (p.getLastTakeFile().isEmpty());
        EXPECT_EQ (p.getSelectedPmi(), "nylon-guitar");
        EXPECT_EQ (p.currentSampleRate, 48000.0);
        EXPECT_EQ (p.tailLength, 336);
        EXPECT_EQ (p.getNumRegions(), 0);
        EXPECT_EQ (p.monitorGain, 0.2f);
        EXPECT_EQ (p.libraryVersion.load(), 0);
        for (float seen : p.envelopeSettingsSeen)
            EXPECT_EQ (seen, -1.0f);

        // What the audio thread appends into is reserved up front.
        EXPECT_GE (p.capturedNotes.capacity(), 4096u);
        EXPECT_GE (p.capturedBends.capacity(), 16384u);
        EXPECT_GE (p.capturedMods.capacity(), 4096u);
        EXPECT_GE (p.takeNotes.capacity(), 4096u);
        EXPECT_GE (p.takeBends.capacity(), 16384u);
        EXPECT_GE (p.takeMods.capacity(), 4096u);
        EXPECT_GE (p.cutPoints.capacity(), 1024u);
        EXPECT_GE (p.regions.capacity(), 64u);
        EXPECT_TRUE (p.capturedNotes.empty());
        EXPECT_TRUE (p.cutPoints.empty());
    }

    //==============================================================================
    TEST (Destruction, WithIdleWorkersDoesNotWaitOutTheStopLimits)
    {
        auto p = std::make_unique<MarluneInstrumentProcessor>();
        // Let every worker reach its sleep before the destructor wakes it.
        std::this_thread::sleep_for (std::chrono::milliseconds (150));

        const auto started = std::chrono::steady_clock::now();
        p.reset();
        const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds> (
                                std::chrono::steady_clock::now() - started).count();

        // Five workers with a 2000 ms limit each: one limit waited out would show.
        EXPECT_LT (tookMs, 1000) << "destruction took " << tookMs << " ms";
    }

    TEST (Destruction, RightAfterConstructionIsClean)
    {
        for (int i = 0; i < 3; ++i)
        {
            MarluneInstrumentProcessor p;
            HostDriver host (p);
            host.prepare (44100.0);
            host.block (128, { { 0, noteOn (60) } });
        }
        SUCCEED();
    }
}
