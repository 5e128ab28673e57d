#pragma once

#include <juce_core/juce_core.h>

/** The small pieces of arithmetic behind in-place playback and capture, kept
    apart so that tests and benchmarks reach them directly. */
namespace marlune::playback
{
    /** Seconds of silence that end a phrase. */
    inline constexpr double phraseGapSeconds = 0.25;

    /** Edge fade of a region, before it is limited to half the region. */
    inline constexpr double edgeFadeSeconds = 0.005;

    inline juce::int64 phraseGapSamples (double sampleRate) noexcept
    {
        return (juce::int64) (sampleRate * phraseGapSeconds);
    }

    inline int edgeFadeSamples (double sampleRate) noexcept
    {
        return juce::jmax (1, (int) (edgeFadeSeconds * sampleRate));
    }

    inline int edgeLength (int fade, juce::int64 regionLength) noexcept
    {
        return (int) juce::jmin ((juce::int64) fade, regionLength / 2);
    }

    /** Gain of sample k of a region of len samples whose edges fade over edge samples. */
    inline float regionGain (juce::int64 k, juce::int64 len, int edge) noexcept
    {
        if (edge <= 0)
            return 1.0f;
        if (k < edge)
            return (float) k / (float) edge;
        if (k >= len - edge)
            return (float) (len - k) / (float) edge;
        return 1.0f;
    }

    /** Linear fade of the stop tail at position i of n samples. */
    inline float stopFadeGain (int i, int n) noexcept
    {
        return juce::jmax (0.0f, 1.0f - (float) i / (float) n);
    }

    inline double midiNoteToHz (int note) noexcept
    {
        return 440.0 * std::exp2 ((note - 69) / 12.0);
    }

    /** Pitch-bend message value (0..16383) to semitones for the given range. */
    inline float bendToSemitones (int value14, float range) noexcept
    {
        return (float) (value14 - 8192) / 8192.0f * range;
    }
}
