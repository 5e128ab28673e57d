#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

namespace marlune::test
{
    /** The built "Marlune Orvane.vst3" bundle. */
    inline juce::File builtBundle()
    {
        // The binary sits in Contents/<arch>; the bundle is two levels up.
        return juce::File (MARLUNE_VST3_BINARY_DIR).getParentDirectory().getParentDirectory();
    }

    inline std::unique_ptr<juce::PluginDescription> describeBundle (juce::VST3PluginFormat& format)
    {
        juce::OwnedArray<juce::PluginDescription> found;
        format.findAllTypesForFile (found, builtBundle().getFullPathName());
        if (found.isEmpty())
            return nullptr;
        return std::make_unique<juce::PluginDescription> (*found[0]);
    }

    inline std::unique_ptr<juce::AudioPluginInstance> loadBundle (double rate = 48000.0, int block = 512)
    {
        juce::VST3PluginFormat format;
        auto description = describeBundle (format);
        if (description == nullptr)
            return nullptr;
        juce::String error;
        return format.createInstanceFromDescription (*description, rate, block, error);
    }
}
