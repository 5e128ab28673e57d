#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_core/juce_core.h>

/** The plug-in's side of the render service: blocking HTTP exchanges and WAV
    conversion, all static and stateless. Worker threads only; never the audio
    or the message thread. Failures are reported through the result and the
    out-parameters; nothing throws and nothing is retried here. */
class DdspClient
{
public:
    //==============================================================================
    // Request conventions shared by every request of the plug-in.

    /** Base address without any trailing "/". */
    static juce::String stripTrailingSlashes (const juce::String& base);

    /** Stripped base address followed by the path (which begins with "/"). */
    static juce::String joinUrl (const juce::String& base, const juce::String& path);

    enum class Bearer
    {
        none,       // no Authorization line
        ifPresent,  // only when the token is not empty
        always      // also "Authorization: Bearer " with nothing after it
    };

    /** The extra request headers, lines separated by "\r\n". */
    static juce::String headerBlock (bool jsonBody, Bearer bearer, const juce::String& token);

    /** JSON text of an object with one string member, without spaces and with
        the value properly escaped: {"name":"value"}. */
    static juce::String singleMemberJson (const juce::String& name, const juce::String& value);

    //==============================================================================
    static bool httpPostJson (const juce::String& fullUrl, const juce::String& body, const juce::String& bearerToken,
                              juce::String& replyText, int& statusCode, juce::String& errorText);

    static bool httpGetAuth (const juce::String& base, const juce::String& path, const juce::String& bearerToken,
                             juce::String& replyText, int& statusCode, juce::String& errorText);

    static bool postCloudRender (const juce::String& base, const juce::String& bearerToken, const juce::String& body,
                                 juce::MemoryBlock& replyBytes, int& statusCode, juce::String& errorText);

    static bool refreshTokens (const juce::String& base, const juce::String& refreshToken,
                               juce::String& newAccessToken, juce::String& newRefreshToken, juce::String& errorText);

    //==============================================================================
    // Requests that other parts of the plug-in send through the same layer.

    /** Fire-and-forget engine warm-up; the outcome is not read. */
    static void postWarmup (const juce::String& base, const juce::String& bearerToken);

    /** True only when the service answered 200 with a JSON object whose "ready" is true. */
    static bool queryWarmupReady (const juce::String& base, const juce::String& bearerToken);

    /** POST to "/api/curves". Returns false when no connection was made. */
    static bool postCurves (const juce::String& base, const juce::String& body,
                            juce::String& replyText, int& statusCode);

    //==============================================================================
    static bool wavToBuffer (const juce::MemoryBlock& wavBytes, juce::AudioBuffer<float>& out, double& sampleRate);
    static bool writeWav (const juce::File& target, const juce::AudioBuffer<float>& audio, double sampleRate);

    //==============================================================================
    static constexpr int jsonTimeoutMs = 30000;
    static constexpr int renderTimeoutMs = 600000;
    static constexpr int warmupTimeoutMs = 5000;
    static constexpr int warmupStatusTimeoutMs = 10000;
    static constexpr int curvesTimeoutMs = 15000;

    /** WAV replies with more channels than this are not decoded. */
    static constexpr unsigned int maxReplyChannels = 64;

    /** Replies larger than this are not read into memory. */
    static constexpr juce::int64 maxTextReplyBytes = 16 * 1024 * 1024;
    static constexpr juce::int64 maxRenderReplyBytes = 512 * 1024 * 1024;

    static juce::String unreachableText (const juce::String& address)  { return "Could not reach Marlune at " + address; }

private:
    DdspClient() = delete;
};
