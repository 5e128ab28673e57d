#include "DdspClient.h"
#include "OwnedTasks.h"
#include "ReplyParsing.h"

#include <juce_audio_formats/juce_audio_formats.h>

namespace
{
    /** One exchange over the framework's HTTP layer. The stream is registered
        with the calling thread's request slot so that stopping the thread
        cancels it. */
    class Exchange
    {
    public:
        Exchange (const juce::URL& url, bool post, const juce::String& headers, int timeoutMs)
            : stream (url, post)
        {
            stream.withExtraHeaders (headers)
                  .withConnectionTimeout (timeoutMs)
                  .withNumRedirectsToFollow (5);

            slot = marlune::RequestSlot::current();
            const bool allowed = slot == nullptr || slot->attach (stream);
            // With curl a refused or timed-out connection still "connects", with
            // status 0; only an HTTP status line means the service answered.
            connected = allowed && stream.connect (nullptr) && stream.getStatusCode() > 0;
        }

        ~Exchange()
        {
            if (slot != nullptr)
                slot->detach (stream);
        }

        bool isConnected() const noexcept   { return connected; }
        int status()                         { return stream.getStatusCode(); }

        /** Reads the whole reply; false when it is larger than the limit. */
        bool readInto (juce::MemoryBlock& block, juce::int64 limit)
        {
            juce::MemoryOutputStream out (block, false);
            char chunk[16384];

            while (! stream.isExhausted())
            {
                const auto n = stream.read (chunk, (int) sizeof (chunk));
                if (n <= 0)
                    break;
                if ((juce::int64) out.getDataSize() + n > limit)
                    return false;
                out.write (chunk, (size_t) n);
            }
            return true;
        }

        bool readText (juce::String& text, juce::int64 limit)
        {
            juce::MemoryBlock block;
            const bool complete = readInto (block, limit);
            text = block.toString();
            return complete;
        }

    private:
        juce::WebInputStream stream;
        marlune::RequestSlot* slot = nullptr;
        bool connected = false;
    };

    juce::URL withBody (const juce::String& url, const juce::String& body)
    {
        return juce::URL (url).withPOSTData (body);
    }
}

//==============================================================================
juce::String DdspClient::stripTrailingSlashes (const juce::String& base)
{
    auto s = base;
    while (s.endsWithChar ('/'))
        s = s.dropLastCharacters (1);
    return s;
}

juce::String DdspClient::joinUrl (const juce::String& base, const juce::String& path)
{
    return stripTrailingSlashes (base) + path;
}

juce::String DdspClient::headerBlock (bool jsonBody, Bearer bearer, const juce::String& token)
{
    juce::StringArray lines;

    if (jsonBody)
        lines.add ("Content-Type: application/json");

    if (bearer == Bearer::always || (bearer == Bearer::ifPresent && token.isNotEmpty()))
        lines.add ("Authorization: Bearer " + token);

    return lines.joinIntoString ("\r\n");
}

juce::String DdspClient::singleMemberJson (const juce::String& name, const juce::String& value)
{
    // JSON::toString of a string escapes quotes, backslashes and control characters.
    return "{" + juce::JSON::toString (name) + ":" + juce::JSON::toString (value) + "}";
}

//==============================================================================
bool DdspClient::httpPostJson (const juce::String& fullUrl, const juce::String& body, const juce::String& bearerToken,
                               juce::String& replyText, int& statusCode, juce::String& errorText)
{
    Exchange exchange (withBody (fullUrl, body), true, headerBlock (true, Bearer::ifPresent, bearerToken), jsonTimeoutMs);

    if (! exchange.isConnected())
    {
        errorText = unreachableText (fullUrl);
        return false;
    }

    statusCode = exchange.status();
    exchange.readText (replyText, maxTextReplyBytes);
    return true;
}

bool DdspClient::httpGetAuth (const juce::String& base, const juce::String& path, const juce::String& bearerToken,
                              juce::String& replyText, int& statusCode, juce::String& errorText)
{
    const auto stripped = stripTrailingSlashes (base);
    Exchange exchange (juce::URL (stripped + path), false, headerBlock (false, Bearer::always, bearerToken), jsonTimeoutMs);

    if (! exchange.isConnected())
    {
        errorText = unreachableText (stripped);
        return false;
    }

    statusCode = exchange.status();
    exchange.readText (replyText, maxTextReplyBytes);

    if (statusCode == 200)
        return true;

    errorText = path + " HTTP " + juce::String (statusCode);
    return false;
}

bool DdspClient::postCloudRender (const juce::String& base, const juce::String& bearerToken, const juce::String& body,
                                  juce::MemoryBlock& replyBytes, int& statusCode, juce::String& errorText)
{
    const auto stripped = stripTrailingSlashes (base);
    replyBytes.setSize (0);

    Exchange exchange (withBody (stripped + "/v1/renders", body), true,
                       headerBlock (true, Bearer::always, bearerToken), renderTimeoutMs);

    if (! exchange.isConnected())
    {
        errorText = unreachableText (stripped);
        return false;
    }

    statusCode = exchange.status();

    if (! exchange.readInto (replyBytes, maxRenderReplyBytes))
    {
        replyBytes.setSize (0);
        errorText = "render reply too large";
        return false;
    }

    if (statusCode == 200)
        return true;

    errorText = "render HTTP " + juce::String (statusCode);
    return false;
}

bool DdspClient::refreshTokens (const juce::String& base, const juce::String& refreshToken,
                                juce::String& newAccessToken, juce::String& newRefreshToken, juce::String& errorText)
{
    const auto url = joinUrl (base, "/v1/auth/refresh");
    juce::String reply;
    int status = 0;

    if (! httpPostJson (url, singleMemberJson ("refresh_token", refreshToken), {}, reply, status, errorText))
        return false;

    if (status != 200)
    {
        errorText = "session expired, please sign in again";
        return false;
    }

    const auto tokens = marlune::replies::parseTokenReply (reply);
    newAccessToken = tokens.access;
    newRefreshToken = tokens.refresh;
    return newAccessToken.isNotEmpty();
}

//==============================================================================
void DdspClient::postWarmup (const juce::String& base, const juce::String& bearerToken)
{
    // Opened and closed at once: neither the status nor the reply is read.
    Exchange exchange (withBody (joinUrl (base, "/v1/renders/warmup"), "{}"), true,
                       headerBlock (true, Bearer::always, bearerToken), warmupTimeoutMs);
}

bool DdspClient::queryWarmupReady (const juce::String& base, const juce::String& bearerToken)
{
    Exchange exchange (juce::URL (joinUrl (base, "/v1/renders/warmup-status")), false,
                       headerBlock (false, Bearer::always, bearerToken), warmupStatusTimeoutMs);

    if (! exchange.isConnected() || exchange.status() != 200)
        return false;

    juce::String text;
    if (! exchange.readText (text, maxTextReplyBytes))
        return false;

    return marlune::replies::parseWarmupReady (text);
}

bool DdspClient::postCurves (const juce::String& base, const juce::String& body, juce::String& replyText, int& statusCode)
{
    Exchange exchange (withBody (joinUrl (base, "/api/curves"), body), true,
                       headerBlock (true, Bearer::none, {}), curvesTimeoutMs);

    if (! exchange.isConnected())
        return false;

    statusCode = exchange.status();
    exchange.readText (replyText, maxTextReplyBytes);
    return true;
}

//==============================================================================
namespace
{
    /** The chunks the decoder needs; every other chunk is metadata. */
    bool isAudioChunk (const juce::uint8* id)
    {
        return std::memcmp (id, "fmt ", 4) == 0 || std::memcmp (id, "data", 4) == 0
            || std::memcmp (id, "fact", 4) == 0 || std::memcmp (id, "ds64", 4) == 0;
    }

    enum class WavLayout { refused, audioOnly, withMetadata };

    /** Walks the RIFF chunks. The framework's reader trusts the metadata
        chunks it finds: it allocates what "smpl", "cue " or "bext" claim and
        walks the entries they count (a reply of a few bytes could stall a
        worker for seconds or ask for gigabytes), and it parses "iXML"/"axml"
        with an XML reader that overruns its buffer on malformed text. So a
        chunk claiming more than the reply holds is refused, and metadata is
        kept away from the reader (see audioChunksOnly). A cut-short data
        chunk (a truncated reply) ends the file, as it does for the reader. */
    WavLayout inspectChunks (const juce::MemoryBlock& bytes)
    {
        const auto* data = static_cast<const juce::uint8*> (bytes.getData());
        const auto size = bytes.getSize();

        if (size < 12)
            return WavLayout::refused;

        bool metadata = false;

        for (size_t pos = 12; pos + 8 <= size;)
        {
            const auto* id = data + pos;
            const auto length = (size_t) juce::ByteOrder::littleEndianInt (id + 4);
            pos += 8;

            if (! isAudioChunk (id))
                metadata = true;

            if (length > size - pos)
                return std::memcmp (id, "data", 4) == 0 ? (metadata ? WavLayout::withMetadata : WavLayout::audioOnly)
                                                        : WavLayout::refused;

            pos += length + (length & 1);
        }

        return metadata ? WavLayout::withMetadata : WavLayout::audioOnly;
    }

    /** A copy of the file with its metadata chunks left out (only made when
        a reply carries metadata, which the service's renders do not). */
    juce::MemoryBlock audioChunksOnly (const juce::MemoryBlock& bytes)
    {
        const auto* data = static_cast<const juce::uint8*> (bytes.getData());
        const auto size = bytes.getSize();

        juce::MemoryBlock copy (data, 12);

        for (size_t pos = 12; pos + 8 <= size;)
        {
            const auto* id = data + pos;
            const auto length = (size_t) juce::ByteOrder::littleEndianInt (id + 4);
            const auto available = juce::jmin (length + (length & 1), size - pos - 8);

            if (isAudioChunk (id))
                copy.append (id, 8 + available);

            pos += 8 + available;
        }

        if (std::memcmp (data, "RIFF", 4) == 0)
        {
            const auto riffSize = juce::ByteOrder::swapIfBigEndian ((juce::uint32) (copy.getSize() - 8));
            copy.copyFrom (&riffSize, 4, 4);
        }

        return copy;
    }
}

bool DdspClient::wavToBuffer (const juce::MemoryBlock& wavBytes, juce::AudioBuffer<float>& out, double& sampleRate)
{
    const auto layout = inspectChunks (wavBytes);
    if (layout == WavLayout::refused)
        return false;

    const auto audioOnly = layout == WavLayout::withMetadata ? audioChunksOnly (wavBytes) : juce::MemoryBlock();
    const auto& bytes = layout == WavLayout::withMetadata ? audioOnly : wavBytes;

    juce::WavAudioFormat format;
    std::unique_ptr<juce::AudioFormatReader> reader (
        format.createReaderFor (new juce::MemoryInputStream (bytes, false), true));

    // The framework's WAV reader converts through a fixed 5760-byte buffer and
    // never advances when one frame is larger than that (thousands of
    // channels): it would spin forever. No render has more than a few channels.
    if (reader == nullptr || reader->lengthInSamples <= 0 || reader->numChannels <= 0
        || reader->numChannels > maxReplyChannels)
        return false;

    // A header may claim more frames than the bytes hold (a truncated reply);
    // never size the buffer beyond what the data could contain.
    // Bits, rounded up to whole bytes per frame: a header claiming fewer than
    // 8 (even 0) bits per sample must not count every byte as a frame of all
    // channels. Each sample takes at least one bit.
    const auto bitsPerFrame = (juce::int64) reader->numChannels * (juce::int64) juce::jmax (1u, reader->bitsPerSample);
    const auto bytesPerFrame = juce::jmax ((juce::int64) 1, (bitsPerFrame + 7) / 8);
    const auto framesInData = (juce::int64) bytes.getSize() / bytesPerFrame;
    const auto frames = juce::jmin (reader->lengthInSamples, framesInData);

    if (frames <= 0 || frames > std::numeric_limits<int>::max())
        return false;

    sampleRate = reader->sampleRate;
    out.setSize ((int) reader->numChannels, (int) frames);
    reader->read (&out, 0, (int) frames, 0, true, true);
    return true;
}

bool DdspClient::writeWav (const juce::File& target, const juce::AudioBuffer<float>& audio, double sampleRate)
{
    target.deleteFile();

    auto stream = std::make_unique<juce::FileOutputStream> (target);
    if (! stream->openedOk())
        return false;

    const int numChannels = juce::jmax (1, audio.getNumChannels());
    juce::WavAudioFormat format;
    std::unique_ptr<juce::AudioFormatWriter> writer (
        format.createWriterFor (stream.get(), sampleRate, (unsigned int) numChannels, 16, {}, 0));

    if (writer == nullptr)
        return false;

    stream.release(); // the writer owns it now

    // Clamp to full scale (and silence anything non-finite) before conversion.
    juce::AudioBuffer<float> clamped (numChannels, audio.getNumSamples());
    clamped.clear();
    for (int ch = 0; ch < audio.getNumChannels(); ++ch)
    {
        const auto* src = audio.getReadPointer (ch);
        auto* dst = clamped.getWritePointer (ch);
        for (int i = 0; i < audio.getNumSamples(); ++i)
            dst[i] = std::isfinite (src[i]) ? juce::jlimit (-1.0f, 1.0f, src[i]) : 0.0f;
    }

    const bool ok = clamped.getNumSamples() == 0
                 || writer->writeFromAudioSampleBuffer (clamped, 0, clamped.getNumSamples());
    writer.reset(); // completes the header and closes the file
    return ok;
}
