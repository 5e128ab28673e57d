// The built bundle checked through the framework's VST3 hosting the way a
// strict plug-in validator does, plus what such a validator misses: a
// byte-exact state round trip with real settings, and an allocation check that
// sees malloc as well as operator new.

#include "ValidationSupport.h"
#include "AllocationCounter.h"
#include "HostFixture.h"

#include <atomic>
#include <iostream>

using namespace marlune::test;
using namespace marlune::validation;
using Processor = MarluneInstrumentProcessor;

namespace
{
    std::unique_ptr<juce::AudioPluginInstance> openHosted (double rate = 48000.0, int block = 512)
    {
        auto plugin = loadBundle (rate, block);
        EXPECT_NE (plugin, nullptr) << builtBundle().getFullPathName();
        return plugin;
    }

    /** Runs blocks of random playing; returns the first bad sample and the peak. */
    struct BlockRun
    {
        BadSample bad;
        float peak = 0.0f;
    };

    BlockRun processRandomBlocks (juce::AudioProcessor& plugin, RandomPerformer& performer, int blocks,
                                  int blockSize, int channels = 2)
    {
        BlockRun run;
        juce::AudioBuffer<float> buffer (channels, blockSize);
        juce::MidiBuffer midi;
        for (int b = 0; b < blocks && ! run.bad.found(); ++b)
        {
            poison (buffer);
            performer.fill (midi, blockSize);
            plugin.processBlock (buffer, midi);
            run.bad = findBadSample (buffer);
            for (int ch = 0; ch < channels && ! run.bad.found(); ++ch)
                run.peak = juce::jmax (run.peak, buffer.getMagnitude (ch, 0, blockSize));
        }
        return run;
    }

    /** Sets every setting to a value away from its default, and signs in. */
    void giveNonDefaultSettings (Processor& p, juce::Random& random)
    {
        for (auto* number : { &p.attack, &p.decay, &p.sustain, &p.release, &p.loudnessGainDb, &p.velocityCurve,
                              &p.timbreDynamics, &p.noiseDb, &p.loudnessFloor, &p.gateDb, &p.bendRange,
                              &p.decayCurve, &p.monitorRelease, &p.vibratoSpeedHz, &p.vibratoAmount,
                              &p.vibratoMaxSemis, &p.reverbTailMs })
            number->store (number->load() + 0.125f + random.nextFloat());

        for (auto* toggle : { &p.normalizeLoudness, &p.playRegions, &p.muted, &p.use48kModel,
                              &p.chunkAtSilence, &p.streamWhileRecording })
            toggle->store (! toggle->load());

        p.setBackendUrl (closedLoopbackUrl);
        const juce::ScopedLock al (p.accountLock);
        p.accessToken = "access-" + juce::String::fromUTF8 ("\xc3\xa9") + "-" + juce::String (random.nextInt64());
        p.refreshToken = "refresh-" + juce::String (random.nextInt64());
    }
}

//==============================================================================
TEST (Validation, OpensColdAndWarm)
{
    // The first instantiation in the process loads the module; the second finds it loaded.
    double times[2] {};
    for (auto& t : times)
    {
        const auto started = nowMs();
        auto plugin = openHosted();
        ASSERT_NE (plugin, nullptr);
        t = nowMs() - started;
        EXPECT_EQ (plugin->getName(), "Marlune Orvane");
        plugin->prepareToPlay (48000.0, 512);
        RandomPerformer performer (1);
        EXPECT_FALSE (processRandomBlocks (*plugin, performer, 10, 512).bad.found());
        plugin->releaseResources();
    }
    std::cout << "[ figures  ] open cold " << times[0] << " ms, warm " << times[1] << " ms\n";
    ::testing::Test::RecordProperty ("coldOpenMs", juce::String (times[0], 1).toStdString());
    ::testing::Test::RecordProperty ("warmOpenMs", juce::String (times[1], 1).toStdString());
}

TEST (Validation, ProgramsAreSafeAtAnyIndex)
{
    auto plugin = openHosted();
    ASSERT_NE (plugin, nullptr);

    const int count = plugin->getNumPrograms();
    EXPECT_GE (count, 0);
    const int current = plugin->getCurrentProgram();
    EXPECT_GE (current, 0);
    EXPECT_LE (current, juce::jmax (0, count - 1));

    for (int index : { 0, count - 1, count, count + 1, -1, 1000, std::numeric_limits<int>::max() })
    {
        plugin->setCurrentProgram (index);
        (void) plugin->getProgramName (index);
        plugin->changeProgramName (index, "Renamed");
        const int now = plugin->getCurrentProgram();
        EXPECT_GE (now, 0) << index;
        EXPECT_LE (now, juce::jmax (0, count - 1)) << index;
    }

    // Still a working instrument afterwards.
    plugin->prepareToPlay (44100.0, 256);
    RandomPerformer performer (2);
    EXPECT_FALSE (processRandomBlocks (*plugin, performer, 10, 256).bad.found());
}

TEST (Validation, EditorCreatedTwice)
{
    MARLUNE_NEEDS_DISPLAY();
    auto plugin = openHosted();
    ASSERT_NE (plugin, nullptr);
    ASSERT_TRUE (plugin->hasEditor());

    for (int round = 0; round < 2; ++round)
    {
        {
            ShownEditor editor (*plugin);
            ASSERT_NE (editor.get(), nullptr) << "round " << round;
            pumpMessages (150);
            EXPECT_GT (editor.get()->getWidth(), 0);
            EXPECT_GT (editor.get()->getHeight(), 0);
            EXPECT_EQ (plugin->getActiveEditor(), editor.get());
        }
        EXPECT_EQ (plugin->getActiveEditor(), nullptr);
        pumpMessages (20);
    }
}

TEST (Validation, StateGetAndSet)
{
    auto plugin = openHosted();
    ASSERT_NE (plugin, nullptr);

    juce::MemoryBlock original;
    plugin->getStateInformation (original);
    ASSERT_GT (original.getSize(), 0u);

    // Every parameter of the plug-in's own, moved at random, comes back with
    // the state. The wrapper's MIDI-controller stand-ins carry no state.
    juce::Random random (3);
    std::vector<std::pair<juce::AudioProcessorParameter*, float>> before;
    juce::StringArray names;
    for (auto* parameter : plugin->getParameters())
    {
        if (parameter->getName (64).startsWith ("MIDI CC"))
            continue;
        names.add (parameter->getName (64));
        before.emplace_back (parameter, parameter->getValue());
        parameter->setValueNotifyingHost (random.nextFloat());
    }
    std::cout << "[ figures  ] parameters besides the MIDI CC stand-ins: " << names.size() << " ("
              << names.joinIntoString (", ") << ")\n";
    plugin->setStateInformation (original.getData(), (int) original.getSize());
    for (const auto& [parameter, value] : before)
        EXPECT_NEAR (parameter->getValue(), value, 1.0e-6f) << parameter->getName (64);

    // Bytes that are not a state of this plug-in change nothing.
    juce::MemoryBlock noise (300);
    for (size_t i = 0; i < noise.getSize(); ++i)
        noise[i] = (char) random.nextInt (256);
    const juce::MemoryBlock truncated (original.getData(), original.getSize() / 2);
    const auto pluginBytes = pluginStateInside (original);
    const auto garbage = { noise, truncated, hostStateCarrying (noise),
                           hostStateCarrying (juce::MemoryBlock (pluginBytes.getData(), pluginBytes.getSize() / 2)),
                           juce::MemoryBlock() };
    for (const auto& bytes : garbage)
    {
        plugin->setStateInformation (bytes.getData(), (int) bytes.getSize());
        juce::MemoryBlock after;
        plugin->getStateInformation (after);
        EXPECT_EQ (pluginStateInside (after), pluginBytes) << bytes.getSize() << " bytes";
    }
}

TEST (Validation, AudioProcessingAtEveryRateAndBlockSize)
{
    auto plugin = openHosted();
    ASSERT_NE (plugin, nullptr);

    const double rates[] = { 44100.0, 48000.0, 96000.0 };
    const int blockSizes[] = { 1, 64, 250, 512, 1024, 8192 };
    RandomPerformer performer (4);

    for (auto rate : rates)
    {
        float loudest = 0.0f;
        for (auto blockSize : blockSizes)
        {
            plugin->prepareToPlay (rate, blockSize);
            const auto run = processRandomBlocks (*plugin, performer, 10, blockSize);
            EXPECT_FALSE (run.bad.found()) << rate << " Hz, " << blockSize << " samples: " << run.bad;
            EXPECT_LE (run.peak, 1.0f) << rate << " Hz, " << blockSize << " samples";
            loudest = juce::jmax (loudest, run.peak);

            juce::MidiBuffer offs;
            performer.releaseAll (offs);
            juce::AudioBuffer<float> buffer (2, blockSize);
            plugin->processBlock (buffer, offs);
            plugin->releaseResources();
        }
        // The random notes were heard: the check above did not pass on silence.
        EXPECT_GT (loudest, 0.01f) << rate << " Hz";
    }
}

TEST (Validation, EditorOpensWhileAnotherThreadProcesses)
{
    MARLUNE_NEEDS_DISPLAY();
    auto plugin = openHosted();
    ASSERT_NE (plugin, nullptr);
    plugin->prepareToPlay (48000.0, 512);

    std::atomic<bool> stop { false };
    std::atomic<int> blocks { 0 };
    BadSample bad;
    std::thread audio ([&]
    {
        RandomPerformer performer (5);
        while (! stop.load() && ! bad.found())
        {
            bad = processRandomBlocks (*plugin, performer, 1, 512).bad;
            ++blocks;
        }
    });

    for (int round = 0; round < 2; ++round)
    {
        ShownEditor editor (*plugin);
        EXPECT_NE (editor.get(), nullptr);
        pumpMessages (200);
    }

    stop = true;
    audio.join();
    EXPECT_FALSE (bad.found()) << bad;
    EXPECT_GT (blocks.load(), 0);
}

TEST (Validation, BusLayouts)
{
    auto plugin = openHosted();
    ASSERT_NE (plugin, nullptr);
    const auto defaultLayout = plugin->getBusesLayout();

    EXPECT_TRUE (plugin->enableAllBuses());
    EXPECT_TRUE (plugin->disableNonMainBuses());
    EXPECT_EQ (plugin->getBusesLayout().getMainOutputChannelSet(), juce::AudioChannelSet::stereo());

    struct LayoutCase { juce::AudioChannelSet set; bool accepted; };
    const LayoutCase cases[] = {
        { juce::AudioChannelSet::mono(), true },
        { juce::AudioChannelSet::stereo(), true },
        { juce::AudioChannelSet::create5point1(), false },
    };

    for (const auto& c : cases)
    {
        auto layout = defaultLayout;
        layout.outputBuses.getReference (0) = c.set;
        EXPECT_EQ (plugin->setBusesLayout (layout), c.accepted) << c.set.getDescription();
        if (! c.accepted)
            continue;

        // An accepted layout is the one in force, and it plays.
        EXPECT_EQ (plugin->getBusesLayout().getMainOutputChannelSet(), c.set);
        const int channels = c.set.size();
        plugin->prepareToPlay (48000.0, 512);
        RandomPerformer performer (6);
        const auto run = processRandomBlocks (*plugin, performer, 10, 512, channels);
        EXPECT_FALSE (run.bad.found()) << c.set.getDescription() << ": " << run.bad;
        plugin->releaseResources();
    }

    EXPECT_TRUE (plugin->setBusesLayout (defaultLayout));
    EXPECT_EQ (plugin->getBusesLayout(), defaultLayout);
}

TEST (Validation, PreparesAtANewRateWithoutReleasingFirst)
{
    auto plugin = openHosted (44100.0, 512);
    ASSERT_NE (plugin, nullptr);

    plugin->prepareToPlay (44100.0, 512);
    RandomPerformer performer (7);
    EXPECT_FALSE (processRandomBlocks (*plugin, performer, 10, 512).bad.found());

    // No release in between: the new rate must take over all the same.
    plugin->prepareToPlay (96000.0, 1024);
    juce::AudioBuffer<float> buffer (2, 1024);
    juce::MidiBuffer midi;
    performer.releaseAll (midi);
    plugin->processBlock (buffer, midi);

    // A held A4 crosses zero twice per period at 440 Hz, at the new rate.
    midi.clear();
    midi.addEvent (juce::MidiMessage::noteOn (1, 69, (juce::uint8) 120), 0);
    std::vector<float> heard;
    for (int b = 0; b < 94; ++b)   // about one second
    {
        plugin->processBlock (buffer, midi);
        midi.clear();
        ASSERT_FALSE (findBadSample (buffer).found()) << findBadSample (buffer);
        heard.insert (heard.end(), buffer.getReadPointer (0), buffer.getReadPointer (0) + 1024);
    }
    int crossings = 0;
    const size_t from = 9600;   // past the attack
    for (size_t i = from + 1; i < heard.size(); ++i)
        crossings += (heard[i - 1] < 0.0f) != (heard[i] < 0.0f);
    const double seconds = (double) (heard.size() - from) / 96000.0;
    EXPECT_NEAR (crossings / seconds, 880.0, 20.0);
}

TEST (Validation, ZeroRateAndBlockSizeThenRecovers)
{
    auto plugin = openHosted();
    ASSERT_NE (plugin, nullptr);

    plugin->prepareToPlay (48000.0, 512);
    RandomPerformer performer (8);
    EXPECT_FALSE (processRandomBlocks (*plugin, performer, 10, 512).bad.found());
    plugin->releaseResources();

    plugin->prepareToPlay (0.0, 0);
    plugin->releaseResources();

    plugin->prepareToPlay (48000.0, 512);
    const auto run = processRandomBlocks (*plugin, performer, 20, 512);
    EXPECT_FALSE (run.bad.found()) << run.bad;
    EXPECT_GT (run.peak, 0.0f);
}

TEST (Validation, EditorAfterReleaseAndAfterZeroRateAndBlockSize)
{
    MARLUNE_NEEDS_DISPLAY();
    auto plugin = openHosted();
    ASSERT_NE (plugin, nullptr);

    plugin->prepareToPlay (48000.0, 512);
    RandomPerformer performer (9);
    EXPECT_FALSE (processRandomBlocks (*plugin, performer, 10, 512).bad.found());
    plugin->releaseResources();
    {
        ShownEditor editor (*plugin);
        EXPECT_NE (editor.get(), nullptr);
        pumpMessages (150);
    }

    plugin->prepareToPlay (0.0, 0);
    {
        ShownEditor editor (*plugin);
        EXPECT_NE (editor.get(), nullptr);
        pumpMessages (150);
    }
    plugin->releaseResources();
}

TEST (Validation, StateFromABackgroundThreadWhileTheEditorIsOpen)
{
    MARLUNE_NEEDS_DISPLAY();
    auto plugin = openHosted();
    ASSERT_NE (plugin, nullptr);

    // A state with settings and tokens; its address is a closed loopback
    // port, so each load starts a library fetch that fails at once.
    Processor source;
    juce::Random random (10);
    giveNonDefaultSettings (source, random);
    juce::MemoryBlock wanted;
    source.getStateInformation (wanted);
    const auto hostState = hostStateCarrying (wanted);

    ShownEditor editor (*plugin);
    ASSERT_NE (editor.get(), nullptr);

    std::atomic<bool> done { false };
    std::atomic<int> mismatches { 0 }, rounds { 0 };
    std::thread background ([&]
    {
        juce::MemoryBlock seen;
        for (int i = 0; i < 40; ++i)
        {
            plugin->setStateInformation (hostState.getData(), (int) hostState.getSize());
            plugin->getStateInformation (seen);
            if (pluginStateInside (seen) != wanted)
                ++mismatches;
            ++rounds;
        }
        done = true;
    });

    // The framework's host locks the message thread for state calls: keep it turning.
    pumpUntil ([&] { return done.load(); }, 20000);
    background.join();

    EXPECT_EQ (rounds.load(), 40);
    EXPECT_EQ (mismatches.load(), 0);
    pumpMessages (100);
}

TEST (Validation, NoAllocationDuringProcessing)
{
    auto plugin = openHosted();
    ASSERT_NE (plugin, nullptr);

    // The same playing through the bundle and through a processor made in
    // this binary: the difference between the two is the host side's.
    Processor direct;
    HostDriver directHost (direct);
    directHost.prepare (48000.0, 512);
    plugin->prepareToPlay (48000.0, 512);

    struct Counted { std::int64_t hostedAllocations = 0, hostedFrees = 0, directAllocations = 0, directFrees = 0; };
    struct Case { const char* name; bool withEvents; };
    const Case cases[] = { { "no events", false }, { "notes, bends and mod wheel", true } };

    juce::AudioBuffer<float> buffer (2, 512);
    for (const auto& c : cases)
    {
        RandomPerformer hostedPlayer (11), directPlayer (11);
        Counted counted;
        juce::MidiBuffer midi;
        for (int b = 0; b < 40; ++b)
        {
            midi.clear();
            if (c.withEvents)
                hostedPlayer.fill (midi, 512);
            midi.ensureSize (4096);
            // The first blocks may size what the host keeps; count after them.
            const auto hosted = countHeapActivity ([&] { plugin->processBlock (buffer, midi); });

            std::vector<MidiAt> events;
            if (c.withEvents)
            {
                juce::MidiBuffer same;
                directPlayer.fill (same, 512);
                for (const auto m : same)
                    events.push_back ({ m.samplePosition, m.getMessage() });
            }
            directHost.queueMidi (events);
            const auto own = countHeapActivity ([&] { directHost.block (512); });

            if (b < 4)
                continue;
            counted.hostedAllocations += hosted.allocations;
            counted.hostedFrees += hosted.frees;
            counted.directAllocations += own.allocations;
            counted.directFrees += own.frees;
        }

        std::cout << "[ figures  ] heap calls over 36 blocks (" << c.name << "): through the bundle "
                  << counted.hostedAllocations << " allocations / " << counted.hostedFrees << " frees, in process "
                  << counted.directAllocations << " / " << counted.directFrees << "\n";
        EXPECT_EQ (counted.directAllocations, 0) << c.name;
        EXPECT_EQ (counted.directFrees, 0) << c.name;
        EXPECT_EQ (counted.hostedAllocations, 0) << c.name;
        EXPECT_EQ (counted.hostedFrees, 0) << c.name;
    }
}

TEST (Validation, StateRoundTripIsByteExactWithSettingsAndTokens)
{
    // Made in process, where every setting can be reached, then loaded into the bundle.
    Processor source;
    juce::Random random (12);
    giveNonDefaultSettings (source, random);
    juce::MemoryBlock made;
    source.getStateInformation (made);

    auto plugin = openHosted();
    ASSERT_NE (plugin, nullptr);

    juce::MemoryBlock first, second;
    const auto carried = hostStateCarrying (made);
    plugin->setStateInformation (carried.getData(), (int) carried.getSize());
    plugin->getStateInformation (first);
    EXPECT_EQ (pluginStateInside (first), made);

    // get -> set -> get through the host, byte for byte.
    plugin->setStateInformation (first.getData(), (int) first.getSize());
    plugin->getStateInformation (second);
    EXPECT_EQ (first, second);

    // And back in process: every value survived the trip.
    Processor reopened;
    const auto bytes = pluginStateInside (second);
    reopened.setStateInformation (bytes.getData(), (int) bytes.getSize());
    juce::MemoryBlock third;
    reopened.getStateInformation (third);
    EXPECT_EQ (third, made);
    EXPECT_EQ (reopened.attack.load(), source.attack.load());
    EXPECT_EQ (reopened.muted.load(), source.muted.load());
    const juce::ScopedLock al (reopened.accountLock);
    EXPECT_EQ (reopened.refreshToken, source.refreshToken);
}
