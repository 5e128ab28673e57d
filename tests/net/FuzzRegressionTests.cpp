// Inputs the fuzzers (tests/fuzz) found to break the plug-in, kept as tests
// of the fixed behaviour. The raw inputs are under tests/fuzz/regressions/.

#include "ReplyParsing.h"
#include "DdspClient.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <gtest/gtest.h>

using namespace marlune::replies;

namespace
{
    /** A reply of nothing but opening brackets, a few hundred kilobytes, well
        under the 16 MiB the client reads: the framework's JSON reader recursed
        once per bracket and ran off the thread's stack. */
    juce::String deeplyNested (const juce::String& prefix, const char* bracket, int depth)
    {
        return prefix + juce::String::repeatedString (bracket, depth);
    }
}

TEST (FuzzRegressions, DeeplyNestedRepliesAreRefusedInsteadOfOverflowingTheStack)
{
    struct Case { const char* name; juce::String text; };
    const Case cases[] = {
        { "arrays",                 deeplyNested ("", "[", 1 << 20) },
        { "objects",                deeplyNested ("", "{\"a\":", 1 << 19) },
        { "inside the library",     deeplyNested ("{\"pmis\":", "[", 120000) },
        { "closed arrays",          deeplyNested ("", "[", 200000) + juce::String::repeatedString ("]", 200000) },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        EXPECT_TRUE (parseLibraryReply (c.text).empty());
        EXPECT_TRUE (parseEmailReply (c.text).isEmpty());
        EXPECT_TRUE (parseTokenReply (c.text).access.isEmpty());
        EXPECT_TRUE (parseDeviceStartReply (c.text).deviceCode.isEmpty());
        EXPECT_FALSE (parseWarmupReady (c.text));
        const auto curves = parseCurveReply (c.text);
        EXPECT_FALSE (curves.ok);
        EXPECT_EQ (curves.error, "Could not parse the curves response.");
    }
}

TEST (FuzzRegressions, OrdinaryNestingAndBracketsInsideTextsStillParse)
{
    // Brackets inside strings are text, not nesting.
    const auto library = parseLibraryReply ("{\"pmis\":[{\"slug\":\"" + juce::String::repeatedString ("[{", 5000)
                                            + "\",\"name\":\"x\\\"]\"}]}");
    ASSERT_EQ (library.size(), 1u);
    EXPECT_EQ (library[0].slug, juce::String::repeatedString ("[{", 5000));
    EXPECT_EQ (library[0].name, "x\"]");

    // Replies nest a few levels; a few dozen still parse.
    const auto curves = parseCurveReply ("{\"f0_hz\":[1,2],\"extra\":" + juce::String::repeatedString ("[", 40)
                                         + juce::String::repeatedString ("]", 40) + "}");
    EXPECT_TRUE (curves.ok);
    EXPECT_EQ (curves.f0Hz, (std::vector<float> { 1.0f, 2.0f }));
}

TEST (FuzzRegressions, AnArrayIsNotAnObjectReply)
{
    // juce::var reports an array as an object; a curve reply "[...]" used to
    // count as parsed.
    for (const auto* text : { "[]", "[1,2,3]", "[{\"frame_rate\":100}]" })
    {
        SCOPED_TRACE (text);
        const auto curves = parseCurveReply (text);
        EXPECT_FALSE (curves.ok);
        EXPECT_EQ (curves.error, "Could not parse the curves response.");
        EXPECT_EQ (curves.frameRate, 250.0);
        EXPECT_FALSE (parseWarmupReady (text));
    }
    EXPECT_TRUE (parseCurveReply ("{}").ok);
}

TEST (FuzzRegressions, SubByteSampleHeadersNeverSizeTheBufferBeyondTheBytes)
{
    // tests/fuzz/regressions/fuzz_wav/sub-byte-samples: 8 channels of fewer
    // than 8 bits each. The frame bound rounded bits down to 0 bytes and so
    // took every byte for a frame of all channels (with many channels, a
    // reply of kilobytes sized a buffer of gigabytes).
    const unsigned char subByte[] = {   0x52, 0x49, 0x46, 0x46, 0xe4, 0x00, 0x00, 0x00, 0x57, 0x41, 0x56, 0x45,  0x66, 0x6d, 0x74, 0x20, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x08, 0x00,  0x80, 0xbb, 0x00, 0x00, 0x00, 0x65, 0x04, 0x00, 0x06, 0x00, 0x18, 0x66,  0x64, 0x61, 0x74, 0x61, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,  0x08, 0x00, 0x80, 0xbb, 0x00, 0x00, 0x00, 0x65, 0x04, 0x00, 0x06, 0x00,  0x18, 0x00, 0x64, 0x61, 0x74, 0x61, 0xc0, 0x00, 0x00, 0x64, 0x00, 0x00,  0x00, 0xa8, 0xda, 0x76, 0x01, 0x00, 0x00, 0x35, 0xcd, 0xe9, 0x12, 0x00,  0x00, 0x00, 0x00, 0xa8, 0xda, 0x35, 0xcd, 0xe9, 0x12, 0xee, 0x26, 0x60,  0x1a, 0xc3, 0x2e, 0xdd, 0x0f, 0xf7, 0x07, 0x3d, 0xde, 0xce };
    // tests/fuzz/regressions/fuzz_wav/zero-bit-samples: 11521 channels of 0 bits.
    const unsigned char zeroBit[] = {   0x52, 0x49, 0x46, 0x46, 0xa4, 0x00, 0x00, 0x00, 0x57, 0x41, 0x56, 0x45,  0x66, 0x6d, 0x74, 0x20, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x2d,  0x80, 0xbb, 0x00, 0x00, 0x00, 0xee, 0x02, 0x00, 0x04, 0x00, 0x20, 0x42,  0x64, 0x61, 0x74, 0x61, 0x00, 0x01, 0x00, 0x01, 0x00, 0x80, 0xbb, 0x00,  0x00, 0x00, 0xee, 0x02, 0x00, 0x04, 0x00, 0x20, 0x00, 0x64, 0x61, 0x74,  0x61, 0x80, 0x00, 0x00, 0x00, 0x22, 0xe8, 0x3f, 0xb6, 0xac, 0x12, 0x3e,  0x9d, 0xbf, 0xb1, 0x36, 0x7e, 0x16, 0x6e, 0x26, 0x2a, 0x60, 0x1a, 0x35,  0xaf, 0x0f, 0xf7, 0x07 };
    for (const auto& [wav, size] : { std::pair<const unsigned char*, size_t> { subByte, sizeof (subByte) },
                                     std::pair<const unsigned char*, size_t> { zeroBit, sizeof (zeroBit) } })
    {
    const juce::MemoryBlock bytes (wav, size);


    juce::WavAudioFormat format;
    std::unique_ptr<juce::AudioFormatReader> reader (format.createReaderFor (new juce::MemoryInputStream (bytes, false), true));
    ASSERT_NE (reader, nullptr);
    const auto bytesPerFrame = ((size_t) reader->numChannels * juce::jmax (1u, reader->bitsPerSample) + 7) / 8;

    juce::AudioBuffer<float> out;
    double rate = 0.0;
    if (DdspClient::wavToBuffer (bytes, out, rate))
        EXPECT_LE ((size_t) out.getNumSamples(), bytes.getSize() / bytesPerFrame);
    }
}

TEST (FuzzRegressions, MetadataChunksLargerThanTheReplyAreRefusedAtOnce)
{
    // Under tests/fuzz/regressions/fuzz_wav/:
    //  wav-smpl-loop-count: an 88-byte WAV whose "smpl" chunk claims 4.8 MB and
    //    268 million loops; the framework's reader walked every claimed loop.
    //  cue-after-data: a complete data chunk followed by a "cue " chunk that
    //    claims 1.8 GB, which the reader allocated.
    juce::AudioBuffer<float> out (1, 3);
    double rate = 7.0;

    //  many-channels-spin: 2229 channels of 32 bits, one frame larger than the
    //    reader's conversion buffer, so its read loop never advanced.
    for (const char* name : { "wav-smpl-loop-count", "cue-after-data", "many-channels-spin" })
    {
        const auto input = juce::File (MARLUNE_TESTS_DIR).getChildFile ("fuzz/regressions/fuzz_wav").getChildFile (name);
        juce::MemoryBlock bytes;
        ASSERT_TRUE (input.loadFileAsData (bytes)) << input.getFullPathName();

        const auto started = juce::Time::getMillisecondCounterHiRes();
        EXPECT_FALSE (DdspClient::wavToBuffer (bytes, out, rate)) << name;
        EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - started, 100.0) << name;
        EXPECT_EQ (out.getNumSamples(), 3) << name;
        EXPECT_EQ (rate, 7.0) << name;
    }

    // A well-formed file with a real metadata chunk before its data still decodes.
    juce::MemoryBlock withList;
    {
        juce::MemoryOutputStream m (withList, false);
        const int dataBytes = 4;
        m.write ("RIFF", 4); m.writeInt (4 + 24 + 12 + 8 + dataBytes); m.write ("WAVE", 4);
        m.write ("fmt ", 4); m.writeInt (16); m.writeShort (1); m.writeShort (1); m.writeInt (8000); m.writeInt (16000); m.writeShort (2); m.writeShort (16);
        m.write ("junk", 4); m.writeInt (4); m.writeInt (0);
        m.write ("data", 4); m.writeInt (dataBytes); m.writeShort (16384); m.writeShort (-16384);
    }
    ASSERT_TRUE (DdspClient::wavToBuffer (withList, out, rate));
    EXPECT_EQ (out.getNumSamples(), 2);
    EXPECT_EQ (rate, 8000.0);
    EXPECT_FLOAT_EQ (out.getSample (0, 0), 0.5f);
}

TEST (FuzzRegressions, MetadataNeverReachesTheFrameworksReader)
{
    // tests/fuzz/regressions/fuzz_wav/ixml-overrun: an "iXML" chunk of invalid
    // text made the framework's XML reader read past its buffer. Metadata is
    // left out before decoding, so the audio of such a file still decodes.
    const auto input = juce::File (MARLUNE_TESTS_DIR).getChildFile ("fuzz/regressions/fuzz_wav/ixml-overrun");
    juce::MemoryBlock bytes;
    ASSERT_TRUE (input.loadFileAsData (bytes)) << input.getFullPathName();
    juce::AudioBuffer<float> out;
    double rate = 0.0;
    DdspClient::wavToBuffer (bytes, out, rate); // must not read out of bounds (ASan)

    // A real file with an iXML chunk before its data decodes to its samples.
    juce::MemoryBlock withXml;
    {
        juce::MemoryOutputStream m (withXml, false);
        const char xml[] = "<BWFXML><\xff\xfe";
        const int xmlBytes = (int) sizeof (xml) - 1; // odd: followed by a pad byte
        m.write ("RIFF", 4); m.writeInt (4 + 24 + 8 + xmlBytes + 1 + 8 + 4); m.write ("WAVE", 4);
        m.write ("fmt ", 4); m.writeInt (16); m.writeShort (1); m.writeShort (1); m.writeInt (8000); m.writeInt (16000); m.writeShort (2); m.writeShort (16);
        m.write ("iXML", 4); m.writeInt (xmlBytes); m.write (xml, (size_t) xmlBytes); m.writeByte (0);
        m.write ("data", 4); m.writeInt (4); m.writeShort (16384); m.writeShort (-16384);
    }
    ASSERT_TRUE (DdspClient::wavToBuffer (withXml, out, rate));
    EXPECT_EQ (out.getNumSamples(), 2);
    EXPECT_EQ (rate, 8000.0);
    EXPECT_FLOAT_EQ (out.getSample (0, 1), -0.5f);
}
