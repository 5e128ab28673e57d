// wavToBuffer on arbitrary bytes: either false with both outputs untouched,
// or a buffer no larger than the bytes could hold.

#include "FuzzSupport.h"
#include "DdspClient.h"

#include <juce_audio_formats/juce_audio_formats.h>

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    marlune::fuzz::initialiseJuce();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const juce::MemoryBlock bytes (data, size);
    juce::AudioBuffer<float> out (1, 3);
    out.clear();
    out.setSample (0, 1, 0.25f);
    double rate = 12345.0;

    if (! DdspClient::wavToBuffer (bytes, out, rate))
    {
        FUZZ_CHECK (out.getNumChannels() == 1 && out.getNumSamples() == 3);
        FUZZ_CHECK (out.getSample (0, 1) == 0.25f);
        FUZZ_CHECK (rate == 12345.0);
        return 0;
    }

    FUZZ_CHECK (out.getNumChannels() >= 1);
    FUZZ_CHECK (out.getNumSamples() >= 1);
    // Every decoded frame came from whole bytes of the data, at least one bit
    // per sample: the buffer can never be sized by a lying header alone. (The
    // raw bytes are not handed to the framework's reader here: with their
    // metadata they are exactly what the decoder keeps away from it.)
    const auto bytesPerFrameAtLeast = juce::jmax ((size_t) 1, ((size_t) out.getNumChannels() + 7) / 8);
    FUZZ_CHECK ((size_t) out.getNumSamples() <= size / bytesPerFrameAtLeast);

    // The decoded audio is usable by the phrase path: mixing it and writing it
    // touches every sample.
    double sum = 0.0;
    for (int ch = 0; ch < out.getNumChannels(); ++ch)
        for (int i = 0; i < out.getNumSamples(); ++i)
            sum += (double) out.getSample (ch, i);
    (void) sum;
    return 0;
}
