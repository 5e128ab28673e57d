// The service client over real loopback HTTP, and WAV conversion.

#include "NetFixture.h"
#include "DdspClient.h"

using namespace marlune::test;

namespace
{
    class ClientTest : public ServiceTest {};

    juce::String stripped (const std::string& base) { return toJuce (base); }

    juce::MemoryBlock wavBytes (const juce::AudioBuffer<float>& audio, double rate, int bits = 16)
    {
        juce::MemoryBlock block;
        {
            auto* stream = new juce::MemoryOutputStream (block, false);
            juce::WavAudioFormat format;
            std::unique_ptr<juce::AudioFormatWriter> writer (format.createWriterFor (stream, rate, (unsigned) audio.getNumChannels(), bits, {}, 0));
            writer->writeFromAudioSampleBuffer (audio, 0, audio.getNumSamples());
        }
        return block;
    }

    juce::File tempWav (const juce::String& name)
    {
        return juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("marlune_client_test_" + name + ".wav");
    }
}

//==============================================================================
TEST (RequestConventions, UrlJoinStripsEveryTrailingSlash)
{
    struct Case { const char* base; const char* expected; };
    const Case cases[] = {
        { "http://h:1",      "http://h:1/v1/pmis" },
        { "http://h:1/",     "http://h:1/v1/pmis" },
        { "http://h:1///",   "http://h:1/v1/pmis" },
        { "http://h:1/api/", "http://h:1/api/v1/pmis" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (DdspClient::joinUrl (c.base, "/v1/pmis"), c.expected) << c.base;
}

TEST (RequestConventions, HeaderBlocksByteForByte)
{
    using B = DdspClient::Bearer;
    struct Case { bool json; B bearer; const char* token; const char* expected; };
    const Case cases[] = {
        { true,  B::ifPresent, "",    "Content-Type: application/json" },                              // sign-in, refresh
        { true,  B::ifPresent, "tok", "Content-Type: application/json\r\nAuthorization: Bearer tok" },
        { false, B::always,    "",    "Authorization: Bearer " },                                      // GETs
        { false, B::always,    "tok", "Authorization: Bearer tok" },
        { true,  B::always,    "",    "Content-Type: application/json\r\nAuthorization: Bearer " },     // renders, warm-up
        { true,  B::none,      "tok", "Content-Type: application/json" },                              // curves
    };
    for (const auto& c : cases)
        EXPECT_EQ (DdspClient::headerBlock (c.json, c.bearer, c.token), c.expected) << c.expected;
}

TEST (RequestConventions, SingleMemberBodiesAreEscapedButOtherwiseVerbatim)
{
    EXPECT_EQ (DdspClient::singleMemberJson ("device_code", "abc123"), "{\"device_code\":\"abc123\"}");

    const auto body = DdspClient::singleMemberJson ("refresh_token", "a\"b\\c\",\"x\":\"y");
    const auto parsed = juce::JSON::parse (body);
    ASSERT_TRUE (parsed.isObject());
    EXPECT_EQ (parsed.getDynamicObject()->getProperties().size(), 1);
    EXPECT_EQ (parsed["refresh_token"].toString(), "a\"b\\c\",\"x\":\"y");
}

//==============================================================================
TEST_F (ClientTest, PostJsonSendsBodyAndOnlyTheHeadersAsked)
{
    struct Case { const char* token; bool expectAuth; };
    for (const Case c : { Case { "", false }, Case { "secret-token", true } })
    {
        service.clearLog();
        juce::String reply, error = "untouched";
        int status = 0;
        const auto url = DdspClient::joinUrl (stripped (service.baseUrl()) + "///", "/v1/auth/device/start");

        ASSERT_TRUE (DdspClient::httpPostJson (url, "{}", c.token, reply, status, error));
        EXPECT_EQ (status, 200);
        EXPECT_EQ (error, "untouched");
        EXPECT_TRUE (juce::JSON::parse (reply).hasProperty ("device_code"));

        const auto log = service.requestsTo ("/v1/auth/device/start");
        ASSERT_EQ (log.size(), 1u);
        EXPECT_EQ (log[0].method, "POST");
        EXPECT_EQ (log[0].target, "/v1/auth/device/start");
        EXPECT_EQ (log[0].body, "{}");
        EXPECT_EQ (log[0].header ("Content-Type"), "application/json");
        EXPECT_EQ (log[0].hasHeader ("Authorization"), c.expectAuth);
        if (c.expectAuth)
            EXPECT_EQ (log[0].header ("Authorization"), "Bearer secret-token");
    }
}

TEST_F (ClientTest, PostJsonReturnsTrueForAnyStatus)
{
    service.failWithStatus ("/v1/auth/device/start", 404);
    juce::String reply, error = "untouched";
    int status = 0;

    EXPECT_TRUE (DdspClient::httpPostJson (DdspClient::joinUrl (stripped (service.baseUrl()), "/v1/auth/device/start"),
                                           "{}", {}, reply, status, error));
    EXPECT_EQ (status, 404);
    EXPECT_TRUE (reply.isNotEmpty());
    EXPECT_EQ (error, "untouched");
}

TEST_F (ClientTest, GetAuthJoinsPathAndAlwaysSendsBearer)
{
    const auto pair = signInDirectly();

    struct Case { std::string token; const char* expectedHeader; };
    const Case cases[] = { { pair.accessToken, nullptr }, { "", "Bearer" } };

    for (const auto& c : cases)
    {
        service.clearLog();
        juce::String reply, error;
        int status = 0;
        DdspClient::httpGetAuth (stripped (service.baseUrl()) + "///", "/v1/pmis", toJuce (c.token), reply, status, error);

        const auto log = service.requestsTo ("/v1/pmis");
        ASSERT_EQ (log.size(), 1u);
        EXPECT_EQ (log[0].method, "GET");
        EXPECT_EQ (log[0].target, "/v1/pmis");
        EXPECT_TRUE (log[0].body.empty());
        EXPECT_FALSE (log[0].hasHeader ("Content-Type"));
        ASSERT_TRUE (log[0].hasHeader ("Authorization"));
        // An empty token still sends "Authorization: Bearer " (the server trims the space).
        const auto expected = c.expectedHeader != nullptr ? std::string (c.expectedHeader) : "Bearer " + c.token;
        EXPECT_EQ (juce::String (log[0].header ("Authorization")).trim(), juce::String (expected).trim());
    }
}

TEST_F (ClientTest, GetAuthResultsByStatus)
{
    const auto pair = signInDirectly();

    {
        juce::String reply, error = "untouched";
        int status = 0;
        EXPECT_TRUE (DdspClient::httpGetAuth (stripped (service.baseUrl()), "/v1/me", toJuce (pair.accessToken), reply, status, error));
        EXPECT_EQ (status, 200);
        EXPECT_EQ (error, "untouched");
        EXPECT_TRUE (juce::JSON::parse (reply).hasProperty ("email"));
    }

    struct Case { int status; const char* path; const char* error; };
    const Case cases[] = { { 204, "/v1/me", "/v1/me HTTP 204" }, { 401, "/v1/pmis", "/v1/pmis HTTP 401" } };
    for (const auto& c : cases)
    {
        service.failWithStatus (c.path, c.status);
        juce::String reply, error;
        int status = 0;
        EXPECT_FALSE (DdspClient::httpGetAuth (stripped (service.baseUrl()), c.path, toJuce (pair.accessToken), reply, status, error));
        EXPECT_EQ (status, c.status);
        EXPECT_EQ (error, c.error);
    }
}

TEST_F (ClientTest, CloudRenderPostsToRendersWithBearerAndKeepsErrorReplies)
{
    const auto pair = signInDirectly();
    service.failWithStatus ("/v1/renders", 503);

    juce::MemoryBlock reply;
    reply.setSize (10);
    juce::String error;
    int status = 0;
    const juce::String body = "{\"model\":\"tf48k\"}";

    EXPECT_FALSE (DdspClient::postCloudRender (stripped (service.baseUrl()) + "/", toJuce (pair.accessToken), body, reply, status, error));
    EXPECT_EQ (status, 503);
    EXPECT_EQ (error, "render HTTP 503");
    EXPECT_GT (reply.getSize(), 0u);
    EXPECT_TRUE (reply.toString().contains ("error"));

    const auto log = service.requestsTo ("/v1/renders");
    ASSERT_EQ (log.size(), 1u);
    EXPECT_EQ (log[0].method, "POST");
    EXPECT_EQ (log[0].target, "/v1/renders");
    EXPECT_EQ (log[0].body, body.toStdString());
    EXPECT_EQ (log[0].header ("Content-Type"), "application/json");
    EXPECT_EQ (log[0].header ("Authorization"), "Bearer " + pair.accessToken);
}

TEST (ClientUnreachable, EveryRequestReportsTheAddressAndLeavesTheStatus)
{
    const auto base = "http://127.0.0.1:" + juce::String (closedLoopbackPort());

    juce::String reply, error;
    int status = -7;
    EXPECT_FALSE (DdspClient::httpPostJson (base + "/v1/auth/refresh", "{}", {}, reply, status, error));
    EXPECT_EQ (error, "Could not reach Marlune at " + base + "/v1/auth/refresh");
    EXPECT_EQ (status, -7);

    error.clear();
    EXPECT_FALSE (DdspClient::httpGetAuth (base + "//", "/v1/pmis", "t", reply, status, error));
    EXPECT_EQ (error, "Could not reach Marlune at " + base);
    EXPECT_EQ (status, -7);

    juce::MemoryBlock block;
    block.setSize (5);
    error.clear();
    EXPECT_FALSE (DdspClient::postCloudRender (base + "/", "t", "{}", block, status, error));
    EXPECT_EQ (error, "Could not reach Marlune at " + base);
    EXPECT_EQ (status, -7);
    EXPECT_EQ (block.getSize(), 0u);
}

//==============================================================================
TEST (WavConversion, DecodesChannelsRateAndScale)
{
    juce::AudioBuffer<float> stereo (2, 1000);
    for (int i = 0; i < 1000; ++i)
    {
        stereo.setSample (0, i, 0.25f);
        stereo.setSample (1, i, -0.5f);
    }

    juce::AudioBuffer<float> out;
    double rate = 48000.0;
    ASSERT_TRUE (DdspClient::wavToBuffer (wavBytes (stereo, 44100.0), out, rate));
    EXPECT_EQ (out.getNumChannels(), 2);
    EXPECT_EQ (out.getNumSamples(), 1000);
    EXPECT_EQ (rate, 44100.0);
    EXPECT_NEAR (out.getSample (0, 500), 0.25f, 1.0e-4f);
    EXPECT_NEAR (out.getSample (1, 500), -0.5f, 1.0e-4f);

    // A 16-bit sample of 16384 is exactly one half.
    juce::AudioBuffer<float> half (1, 1);
    half.setSample (0, 0, 16384.0f / 32767.0f);
    juce::MemoryBlock bytes = wavBytes (half, 8000.0);
    ASSERT_GE (bytes.getSize(), 46u);
    auto* data = static_cast<char*> (bytes.getData());
    const juce::int16 raw = 16384;
    std::memcpy (data + bytes.getSize() - 2, &raw, 2);
    ASSERT_TRUE (DdspClient::wavToBuffer (bytes, out, rate));
    EXPECT_FLOAT_EQ (out.getSample (0, 0), 0.5f);
}

TEST (WavConversion, BadBytesLeaveTheOutputsAlone)
{
    juce::AudioBuffer<float> silentHeader (1, 0);
    juce::AudioBuffer<float> one (1, 480);
    one.clear();
    const auto valid = wavBytes (one, 48000.0);

    struct Case { const char* name; juce::MemoryBlock bytes; };
    std::vector<Case> cases;
    cases.push_back ({ "json error", juce::MemoryBlock ("{\"error\":\"cold\"}", 16) });
    cases.push_back ({ "empty", juce::MemoryBlock() });
    cases.push_back ({ "header without frames", wavBytes (silentHeader, 48000.0) });
    cases.push_back ({ "first 30 bytes", juce::MemoryBlock (valid.getData(), 30) });

    for (auto& c : cases)
    {
        juce::AudioBuffer<float> out (3, 7);
        double rate = 1234.0;
        EXPECT_FALSE (DdspClient::wavToBuffer (c.bytes, out, rate)) << c.name;
        EXPECT_EQ (out.getNumChannels(), 3) << c.name;
        EXPECT_EQ (out.getNumSamples(), 7) << c.name;
        EXPECT_EQ (rate, 1234.0) << c.name;
    }
}

TEST (WavConversion, TruncatedDataNeverSizesTheBufferBeyondTheBytes)
{
    juce::AudioBuffer<float> long_ (1, 48000);
    long_.clear();
    auto bytes = wavBytes (long_, 48000.0);
    const juce::MemoryBlock truncated (bytes.getData(), 1044); // header + 500 frames

    juce::AudioBuffer<float> out;
    double rate = 0.0;
    ASSERT_TRUE (DdspClient::wavToBuffer (truncated, out, rate));
    EXPECT_LE (out.getNumSamples(), 522); // never more frames than the bytes could hold

    // A header claiming 2^31 frames over a few bytes of data.
    auto* data = static_cast<juce::uint8*> (bytes.getData());
    const juce::uint32 huge = 0x7ffffff0;
    std::memcpy (data + 40, &huge, 4);
    const juce::MemoryBlock lying (bytes.getData(), 100);
    juce::AudioBuffer<float> fromLie;
    if (DdspClient::wavToBuffer (lying, fromLie, rate))
        EXPECT_LE (fromLie.getNumSamples(), 50);
}

TEST (WavConversion, WritesClampedSixteenBitFilesFromScratch)
{
    const auto file = tempWav ("write");

    juce::AudioBuffer<float> big (1, 96000);
    big.clear();
    ASSERT_TRUE (DdspClient::writeWav (file, big, 48000.0));
    const auto bigSize = file.getSize();

    juce::AudioBuffer<float> small (1, 48000);
    small.clear();
    small.setSample (0, 0, 1.5f);
    small.setSample (0, 1, -1.5f);
    small.setSample (0, 2, std::numeric_limits<float>::quiet_NaN());
    ASSERT_TRUE (DdspClient::writeWav (file, small, 48000.0));

    EXPECT_LT (file.getSize(), bigSize);
    EXPECT_GE (file.getSize(), 96000 + 44);  // the sample data plus a header
    EXPECT_LT (file.getSize(), 96000 + 200);

    juce::WavAudioFormat format;
    std::unique_ptr<juce::AudioFormatReader> reader (format.createReaderFor (file.createInputStream().release(), true));
    ASSERT_NE (reader, nullptr);
    EXPECT_EQ (reader->numChannels, 1u);
    EXPECT_EQ (reader->bitsPerSample, 16u);
    EXPECT_EQ (reader->sampleRate, 48000.0);
    EXPECT_EQ (reader->lengthInSamples, 48000);

    int raw[3] = {};
    int* channels[] = { raw };
    reader->read (channels, 1, 0, 3, false);
    EXPECT_EQ (raw[0] >> 16, 32767);
    EXPECT_LE (raw[1] >> 16, -32767);
    EXPECT_EQ (raw[2] >> 16, 0);

    // An empty buffer still writes a valid (empty) file.
    juce::AudioBuffer<float> empty;
    ASSERT_TRUE (DdspClient::writeWav (file, empty, 48000.0));
    std::unique_ptr<juce::AudioFormatReader> emptyReader (format.createReaderFor (file.createInputStream().release(), true));
    ASSERT_NE (emptyReader, nullptr);
    EXPECT_EQ (emptyReader->lengthInSamples, 0);
    file.deleteFile();
}

TEST_F (ClientTest, ServiceRepliesThatAreNotAudioNeverCrashTheDecoder)
{
    const auto pair = signInDirectly();
    const juce::String body = R"({"model":"tf48k","notes":[{"start":0.0,"duration":0.5,"pitch":69,"velocity":100}],"bends":[],"vibrato_speed":5.0,"vibrato_depth":[],"vibrato_max_semis":0.5,"reverb_tail_ms":250.0,"adsr":{"attack":0.01,"decay":1.0,"sustain":0.5,"release":0.05,"decay_curve":4.0},"loudness":{"gain_db":0.0,"vel_curve":1.0},"mode":"ddsp","total_duration":1.0,"out_sr":48000,"normalize_loudness":true,"timbre_dynamics":0.75,"noise_db":-80.0,"loudness_floor_db":-80.0,"gate_db":-80.0,"dry":true})";

    service.sendTruncatedWav ("/v1/renders");
    service.sendNonWav ("/v1/renders");
    service.sendMalformedJson ("/v1/renders");

    for (const char* kind : { "truncated", "not wav", "malformed json", "real" })
    {
        juce::MemoryBlock reply;
        juce::String error;
        int status = 0;
        ASSERT_TRUE (DdspClient::postCloudRender (stripped (service.baseUrl()), toJuce (pair.accessToken), body, reply, status, error)) << kind;

        juce::AudioBuffer<float> out;
        double rate = 48000.0;
        const bool decoded = DdspClient::wavToBuffer (reply, out, rate);
        if (juce::String (kind) == "real" || juce::String (kind) == "truncated")
        {
            EXPECT_TRUE (decoded) << kind;
            EXPECT_LE (out.getNumSamples(), (int) reply.getSize()) << kind;
        }
        else
        {
            EXPECT_FALSE (decoded) << kind;
        }
    }
}
