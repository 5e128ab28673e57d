// setStateInformation on arbitrary bytes, then getStateInformation: the state
// the processor writes afterwards must be a well-formed tree of the saved
// layout that reads back to the same bytes.

#include "FuzzSupport.h"
#include "InstrumentProcessor.h"
#include "SavedStateFormat.h"

namespace
{
    MarluneInstrumentProcessor* processor = nullptr;

    const char* const savedKeys[] = {
        "backendUrl", "attack", "decay", "sustain", "release", "loudnessGainDb", "velocityCurve",
        "normalizeLoudness", "timbreDynamics", "noiseDb", "loudnessFloor", "gateDb", "playRegions",
        "bendRange", "muted", "decayCurve", "monitorRelease", "use48kModel", "vibratoSpeedHz",
        "vibratoAmount", "vibratoMaxSemis", "reverbTailMs", "chunkAtSilence", "streamWhileRecording",
        "accessToken", "refreshToken"
    };

    juce::MemoryBlock bytesOf (const juce::ValueTree& tree)
    {
        juce::MemoryBlock block;
        juce::MemoryOutputStream out (block, false);
        tree.writeToStream (out);
        return block;
    }

    /** A signed-in state starts a library fetch at its saved address, which
        may be anywhere. Such a state is applied with the address replaced by
        a closed loopback port, and only one in sixteen keeps its access token
        (each fetch takes a few hundred milliseconds even when refused). */
    juce::MemoryBlock withoutOutsideFetches (const uint8_t* data, size_t size)
    {
        juce::MemoryBlock raw (data, size);
        if (! marlune::state::isWellFormedTree (data, size))
            return raw;

        auto tree = juce::ValueTree::readFromData (data, size);
        if (! tree.isValid() || tree.getProperty ("accessToken", juce::String()).toString().isEmpty())
            return raw;

        tree.setProperty ("backendUrl", marlune::fuzz::closedLoopbackUrl, nullptr);
        if (size % 16 != 0)
            tree.setProperty ("accessToken", juce::String(), nullptr);
        return bytesOf (tree);
    }

    void waitForLibraryTasks()
    {
        for (int i = 0; i < 400 && processor->tasks.numRunning() > 0; ++i)
            juce::Thread::sleep (5);
    }

    /** The framework decodes invalid UTF-8 leniently, so a text restored from
        such bytes need not read back as the same text once written again. */
    bool survivesUtf8 (const juce::String& s)
    {
        juce::ValueTree t ("t");
        t.setProperty ("s", s, nullptr);
        const auto bytes = bytesOf (t);
        const auto back = juce::ValueTree::readFromData (bytes.getData(), bytes.getSize()).getProperty ("s").toString();
        return back == s && back.trim() == back;
    }

    void checkSavedState (const juce::MemoryBlock& saved)
    {
        FUZZ_CHECK (marlune::state::isWellFormedTree (saved.getData(), saved.getSize()));
        const auto tree = juce::ValueTree::readFromData (saved.getData(), saved.getSize());
        FUZZ_CHECK (tree.isValid());
        FUZZ_CHECK (tree.getType().toString() == "MarluneInstrument");
        FUZZ_CHECK (tree.getNumChildren() == 0);
        FUZZ_CHECK (tree.getNumProperties() == (int) std::size (savedKeys));
        for (int i = 0; i < tree.getNumProperties(); ++i)
            FUZZ_CHECK (tree.getPropertyName (i).toString() == savedKeys[i]);
        // Text decoded from invalid UTF-8 need not trim the same way twice
        // (the framework steps back through such bytes differently).
        const auto url = processor->getBackendUrl();
        if (juce::CharPointer_UTF8::isValidString (url.toRawUTF8(), (int) url.getNumBytesAsUTF8()))
            FUZZ_CHECK (url == url.trim());
    }

}

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    marlune::fuzz::initialiseJuce();
    processor = new MarluneInstrumentProcessor(); // lives for the whole run
    processor->setBackendUrl (marlune::fuzz::closedLoopbackUrl);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto input = withoutOutsideFetches (data, size);
    processor->setStateInformation (input.getData(), (int) input.getSize());
    waitForLibraryTasks();

    juce::MemoryBlock saved;
    processor->getStateInformation (saved);
    checkSavedState (saved);

    // Whatever was restored, the processor's own state survives a round trip
    // byte for byte (numbers have already been narrowed to floats).
    juce::String access, refresh;
    {
        const juce::ScopedLock al (processor->accountLock);
        access = processor->accessToken;
        refresh = processor->refreshToken;
    }
    const bool textsRoundTrip = survivesUtf8 (processor->getBackendUrl()) && survivesUtf8 (access) && survivesUtf8 (refresh);

    processor->setStateInformation (saved.getData(), (int) saved.getSize());
    waitForLibraryTasks();
    juce::MemoryBlock again;
    processor->getStateInformation (again);
    if (textsRoundTrip)
        FUZZ_CHECK (again == saved);

    // Leave the processor signed out at a loopback address for the next input.
    processor->signOut();
    processor->setBackendUrl (marlune::fuzz::closedLoopbackUrl);
    return 0;
}
