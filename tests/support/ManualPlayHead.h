#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

namespace marlune::test
{
    /** A play head the test moves by hand, like a host's transport. */
    class TestPlayHead : public juce::AudioPlayHead
    {
    public:
        juce::Optional<PositionInfo> getPosition() const override
        {
            if (! available)
                return {};
            PositionInfo info;
            info.setIsPlaying (playing);
            if (hasSamplePosition)
                info.setTimeInSamples (samplePosition);
            return info;
        }

        bool available = true;
        bool playing = false;
        bool hasSamplePosition = true;
        juce::int64 samplePosition = 0;
    };
}
