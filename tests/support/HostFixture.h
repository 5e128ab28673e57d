#pragma once

#include "InstrumentProcessor.h"
#include "ManualPlayHead.h"

#include <gtest/gtest.h>

#include <vector>

namespace marlune::test
{
    /** One MIDI event at a sample offset inside a block. */
    struct MidiAt
    {
        int offset;
        juce::MidiMessage message;
    };

    /** Drives a processor the way a host does: prepare, then blocks of any
        size with a transport that plays or stops and advances by itself. */
    class HostDriver
    {
    public:
        explicit HostDriver (MarluneInstrumentProcessor& p, int maxBlock = 8192, int channels = 2)
            : processor (p), storage (channels, maxBlock)
        {
            processor.setPlayHead (&playHead);
        }

        ~HostDriver() { processor.setPlayHead (nullptr); }

        void prepare (double rate, int blockSize = 512)
        {
            sampleRate = rate;
            processor.setRateAndBufferSizeDetails (rate, blockSize);
            processor.prepareToPlay (rate, blockSize);
        }

        void play (juce::int64 fromSample)     { playHead.playing = true; playHead.samplePosition = fromSample; }
        void stop()                            { playHead.playing = false; }
        void setOffline (bool offline)         { processor.setNonRealtime (offline); }

        /** Fills the MIDI buffer for the next block (allocates: call before counting). */
        void queueMidi (const std::vector<MidiAt>& events)
        {
            midi.clear();
            for (const auto& e : events)
                midi.addEvent (e.message, e.offset);
        }

        /** Runs one block; the transport advances when playing. Allocates nothing itself. */
        const juce::AudioBuffer<float>& block (int numSamples)
        {
            view.setDataToReferTo (storage.getArrayOfWritePointers(), storage.getNumChannels(), numSamples);
            processor.processBlock (view, midi);
            midi.clear();
            if (playHead.playing)
                playHead.samplePosition += numSamples;
            return view;
        }

        const juce::AudioBuffer<float>& block (int numSamples, const std::vector<MidiAt>& events)
        {
            queueMidi (events);
            return block (numSamples);
        }

        /** Runs blocks for the given number of samples and returns channel 0. */
        std::vector<float> run (juce::int64 totalSamples, int blockSize = 512, int channel = 0)
        {
            std::vector<float> out;
            out.reserve ((size_t) totalSamples);
            while (totalSamples > 0)
            {
                const int n = (int) juce::jmin ((juce::int64) blockSize, totalSamples);
                const auto& b = block (n);
                const auto* data = b.getReadPointer (juce::jmin (channel, b.getNumChannels() - 1));
                out.insert (out.end(), data, data + n);
                totalSamples -= n;
            }
            return out;
        }

        MarluneInstrumentProcessor& processor;
        TestPlayHead playHead;
        double sampleRate = 48000.0;
        juce::AudioBuffer<float> storage;
        juce::AudioBuffer<float> view;
        juce::MidiBuffer midi;
    };

    inline juce::MidiMessage noteOn (int note, int velocity = 100)  { return juce::MidiMessage::noteOn (1, note, (juce::uint8) velocity); }
    inline juce::MidiMessage noteOff (int note)                     { return juce::MidiMessage::noteOff (1, note); }
    inline juce::MidiMessage bend (int value14)                     { return juce::MidiMessage::pitchWheel (1, value14); }
    inline juce::MidiMessage modWheel (int value)                   { return juce::MidiMessage::controllerEvent (1, 1, value); }

    /** A processor per test, with the long waits shortened. */
    class ProcessorTest : public ::testing::Test
    {
    protected:
        ProcessorTest()
        {
            processor = std::make_unique<MarluneInstrumentProcessor>();
            processor->timings.renderRetryPauseMs = 20;
            processor->timings.signInPollPauseMs = 20;
            host = std::make_unique<HostDriver> (*processor);
            host->prepare (48000.0);
        }

        ~ProcessorTest() override
        {
            host.reset();
            processor.reset();
        }

        std::unique_ptr<MarluneInstrumentProcessor> processor;
        std::unique_ptr<HostDriver> host;
    };
}
