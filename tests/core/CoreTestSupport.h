#pragma once

// Helpers shared by the processor-core suites: timelines of MIDI events at
// absolute host samples, regions published the way the workers do it, and
// pitch and level measurements taken from the output.

#include "HostFixture.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace marlune::test
{
    using Proc = MarluneInstrumentProcessor;

    /** A MIDI event at an absolute sample counted from where the timeline starts. */
    struct TimedEvent
    {
        juce::int64 sample;
        juce::MidiMessage message;
    };

    /** Runs totalSamples through the driver in blocks, placing each event in
        the block that contains it; returns channel 0. */
    inline std::vector<float> runTimeline (HostDriver& host, std::vector<TimedEvent> events,
                                           juce::int64 totalSamples, int blockSize = 512)
    {
        std::stable_sort (events.begin(), events.end(),
                          [] (const TimedEvent& a, const TimedEvent& b) { return a.sample < b.sample; });
        std::vector<float> out;
        out.reserve ((size_t) totalSamples);
        size_t next = 0;
        for (juce::int64 pos = 0; pos < totalSamples; pos += blockSize)
        {
            const int n = (int) juce::jmin ((juce::int64) blockSize, totalSamples - pos);
            std::vector<MidiAt> inBlock;
            while (next < events.size() && events[next].sample < pos + n)
            {
                inBlock.push_back ({ (int) (events[next].sample - pos), events[next].message });
                ++next;
            }
            const auto& b = host.block (n, inBlock);
            const auto* data = b.getReadPointer (0);
            out.insert (out.end(), data, data + n);
        }
        return out;
    }

    /** Publishes a mono clip the way a worker does: under regionsLock. */
    inline void publishRegion (Proc& p, juce::int64 startSample, const std::vector<float>& samples)
    {
        Proc::Region region;
        region.startSample = startSample;
        region.audio.setSize (1, (int) samples.size());
        for (size_t i = 0; i < samples.size(); ++i)
            region.audio.setSample (0, (int) i, samples[i]);
        const juce::SpinLock::ScopedLockType sl (p.regionsLock);
        p.regions.push_back (std::move (region));
    }

    inline std::vector<float> constantSignal (int length, float value)
    {
        return std::vector<float> ((size_t) length, value);
    }

    /** A signal whose every sample differs, so that an offset error shows. */
    inline std::vector<float> rampSignal (int length)
    {
        std::vector<float> s ((size_t) length);
        for (int i = 0; i < length; ++i)
            s[(size_t) i] = 0.5f * std::sin (0.013f * (float) i) + 0.25f;
        return s;
    }

    /** Frequency from rising zero crossings (interpolated) over [from, to). */
    inline double measureFrequency (const std::vector<float>& x, size_t from, size_t to, double sampleRate)
    {
        double first = -1.0, last = -1.0;
        int crossings = 0;
        for (size_t i = juce::jmax ((size_t) 1, from); i < to && i < x.size(); ++i)
        {
            if (x[i - 1] < 0.0f && x[i] >= 0.0f)
            {
                const double frac = (double) -x[i - 1] / (double) (x[i] - x[i - 1]);
                const double at = (double) (i - 1) + frac;
                if (first < 0.0)
                    first = at;
                else
                    ++crossings;
                last = at;
            }
        }
        if (crossings == 0)
            return 0.0;
        return crossings * sampleRate / (last - first);
    }

    /** Instantaneous frequencies: one estimate per cycle between rising crossings. */
    inline std::vector<std::pair<double, double>> cycleFrequencies (const std::vector<float>& x, double sampleRate)
    {
        std::vector<std::pair<double, double>> result; // (time in samples, Hz)
        double previous = -1.0;
        for (size_t i = 1; i < x.size(); ++i)
        {
            if (x[i - 1] < 0.0f && x[i] >= 0.0f)
            {
                const double at = (double) (i - 1) + (double) -x[i - 1] / (double) (x[i] - x[i - 1]);
                if (previous >= 0.0)
                    result.push_back ({ 0.5 * (at + previous), sampleRate / (at - previous) });
                previous = at;
            }
        }
        return result;
    }

    inline float peak (const std::vector<float>& x, size_t from, size_t to)
    {
        float m = 0.0f;
        for (size_t i = from; i < to && i < x.size(); ++i)
            m = juce::jmax (m, std::abs (x[i]));
        return m;
    }

    /** Names a parameterised case after its name field. */
    struct ByName
    {
        template <typename Param>
        std::string operator() (const ::testing::TestParamInfo<Param>& info) const { return info.param.name; }
    };

    inline double semitones (double hz, double reference) { return 12.0 * std::log2 (hz / reference); }
}
