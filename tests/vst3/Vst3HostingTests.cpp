#include "Vst3Host.h"

#include <gtest/gtest.h>

using namespace marlune::test;

namespace
{
    juce::AudioChannelSet mainOutputOf (juce::AudioProcessor& p)
    {
        return p.getBusesLayout().getMainOutputChannelSet();
    }
}

TEST (Vst3Bundle, IsNamedAndDescribedAsTheInstrument)
{
    ASSERT_TRUE (builtBundle().isDirectory()) << builtBundle().getFullPathName();
    EXPECT_EQ (builtBundle().getFileName(), "Marlune Orvane.vst3");

    juce::VST3PluginFormat format;
    auto description = describeBundle (format);
    ASSERT_NE (description, nullptr);

    EXPECT_EQ (description->name, "Marlune Orvane");
    EXPECT_EQ (description->manufacturerName, "Marlune");
    EXPECT_EQ (description->version, "0.2.0");
    EXPECT_TRUE (description->isInstrument);
    EXPECT_TRUE (description->category.contains ("Instrument")) << description->category;
    EXPECT_EQ (description->numInputChannels, 0);
    EXPECT_EQ (description->numOutputChannels, 2);
}

TEST (Vst3Bundle, BusesMidiAndProgramsAsAHostSeesThem)
{
    auto plugin = loadBundle();
    ASSERT_NE (plugin, nullptr);

    EXPECT_EQ (plugin->getName(), "Marlune Orvane");
    EXPECT_EQ (plugin->getBusCount (true), 0);
    ASSERT_EQ (plugin->getBusCount (false), 1);
    EXPECT_EQ (plugin->getBus (false, 0)->getName(), "Output");
    EXPECT_EQ (mainOutputOf (*plugin), juce::AudioChannelSet::stereo());
    EXPECT_TRUE (plugin->acceptsMidi());
    EXPECT_FALSE (plugin->producesMidi());
    // A single program is not published as a program list through VST3.
    EXPECT_LE (plugin->getNumPrograms(), 1);
    EXPECT_TRUE (plugin->hasEditor());

    struct LayoutCase { juce::AudioChannelSet set; bool accepted; };
    const LayoutCase cases[] = {
        { juce::AudioChannelSet::mono(), true },
        { juce::AudioChannelSet::stereo(), true },
        { juce::AudioChannelSet::create5point1(), false },
    };

    for (const auto& c : cases)
    {
        auto layout = plugin->getBusesLayout();
        layout.outputBuses.getReference (0) = c.set;
        EXPECT_EQ (plugin->checkBusesLayoutSupported (layout), c.accepted) << c.set.getDescription();
    }
}

TEST (Vst3Bundle, SilenceInGivesSilenceOut)
{
    auto plugin = loadBundle();
    ASSERT_NE (plugin, nullptr);

    plugin->prepareToPlay (48000.0, 512);
    juce::AudioBuffer<float> buffer (2, 512);
    juce::MidiBuffer midi;

    for (int i = 0; i < 20; ++i)
    {
        buffer.clear();
        plugin->processBlock (buffer, midi);
        EXPECT_EQ (buffer.getMagnitude (0, 512), 0.0f);
        EXPECT_EQ (buffer.getMagnitude (1, 512), 0.0f);
    }

    plugin->releaseResources();
}

TEST (Vst3Bundle, NotesSoundThroughTheWrapper)
{
    auto plugin = loadBundle();
    ASSERT_NE (plugin, nullptr);

    plugin->prepareToPlay (48000.0, 512);
    juce::AudioBuffer<float> buffer (2, 512);
    juce::MidiBuffer midi;
    midi.addEvent (juce::MidiMessage::noteOn (1, 69, (juce::uint8) 127), 0);

    float peak = 0.0f;
    for (int i = 0; i < 10; ++i)
    {
        buffer.clear();
        plugin->processBlock (buffer, midi);
        midi.clear();
        peak = juce::jmax (peak, buffer.getMagnitude (0, 512));
    }
    EXPECT_GT (peak, 0.05f);
    EXPECT_LE (peak, 0.21f);
}

TEST (Vst3Bundle, CreatedAndDestroyedRepeatedly)
{
    for (int i = 0; i < 5; ++i)
    {
        const auto started = juce::Time::getMillisecondCounterHiRes();
        auto plugin = loadBundle();
        ASSERT_NE (plugin, nullptr);
        plugin->prepareToPlay (44100.0, 256);
        plugin.reset();
        // Idle workers wake on their events; nobody waits out a 2 s limit.
        EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - started, 1500.0);
    }
}

TEST (Vst3Bundle, StateRoundTripIsByteExact)
{
    auto plugin = loadBundle();
    ASSERT_NE (plugin, nullptr);

    juce::MemoryBlock first, second;
    plugin->getStateInformation (first);
    ASSERT_GT (first.getSize(), 0u);
    plugin->setStateInformation (first.getData(), (int) first.getSize());
    plugin->getStateInformation (second);
    EXPECT_EQ (first, second);

    // And into a fresh instance, as when a project is reopened.
    auto reopened = loadBundle();
    ASSERT_NE (reopened, nullptr);
    reopened->setStateInformation (first.getData(), (int) first.getSize());
    juce::MemoryBlock third;
    reopened->getStateInformation (third);
    EXPECT_EQ (first, third);
}
