#include "ReplyParsing.h"

namespace marlune::replies
{
namespace
{
    std::vector<float> numbersOf (const juce::var& member)
    {
        std::vector<float> out;
        if (const auto* items = member.getArray())
            for (const auto& item : *items)
                out.push_back ((float) (double) item);
        return out;
    }

    std::vector<juce::uint8> flagsOf (const juce::var& member)
    {
        std::vector<juce::uint8> out;
        if (const auto* items = member.getArray())
            for (const auto& item : *items)
                out.push_back ((bool) item ? 1 : 0);
        return out;
    }

    juce::String textMember (const juce::var& json, const char* name)
    {
        return json.getProperty (name, {}).toString();
    }

    /** The framework's JSON reader (and the destructor of what it builds)
        recurses once per nesting level, so a reply of a few hundred kilobytes
        of brackets would overflow a worker's stack and take the host down.
        Replies nest a handful of levels; anything deeper is refused. */
    constexpr int maxNesting = 256;

    bool nestsTooDeeply (const juce::String& text)
    {
        int depth = 0;
        bool inString = false, escaped = false;

        for (auto* c = text.toRawUTF8(); *c != 0; ++c)
        {
            if (inString)
            {
                if (escaped)          escaped = false;
                else if (*c == '\\') escaped = true;
                else if (*c == '"')   inString = false;
            }
            else if (*c == '"')
                inString = true;
            else if (*c == '[' || *c == '{')
            {
                if (++depth > maxNesting)
                    return true;
            }
            else if (*c == ']' || *c == '}')
                --depth;
        }
        return false;
    }

    /** juce::JSON::parse with the nesting limit: too deep reads as not JSON. */
    juce::Result parseJson (const juce::String& text, juce::var& result)
    {
        result = juce::var();
        if (nestsTooDeeply (text))
            return juce::Result::fail ("JSON nested too deeply");
        return juce::JSON::parse (text, result);
    }

    /** A JSON object proper: the framework's var reports arrays as objects too. */
    bool isJsonObject (const juce::var& v)
    {
        return v.getDynamicObject() != nullptr;
    }

    juce::var parseJson (const juce::String& text)
    {
        juce::var result;
        parseJson (text, result);
        return result;
    }
}

std::vector<Processor::PmiInfo> parseLibraryReply (const juce::String& text)
{
    std::vector<Processor::PmiInfo> fetched;
    const auto json = parseJson (text);

    if (const auto* entries = json.getProperty ("pmis", {}).getArray())
        for (const auto& entry : *entries)
            fetched.push_back ({ textMember (entry, "slug"), textMember (entry, "name"), textMember (entry, "description") });

    return fetched;
}

juce::String parseEmailReply (const juce::String& text)
{
    return textMember (parseJson (text), "email");
}

DeviceStart parseDeviceStartReply (const juce::String& text)
{
    const auto json = parseJson (text);
    return { textMember (json, "device_code"), textMember (json, "verify_url") };
}

Tokens parseTokenReply (const juce::String& text)
{
    const auto json = parseJson (text);
    return { textMember (json, "access_token"), textMember (json, "refresh_token") };
}

bool parseWarmupReady (const juce::String& text)
{
    juce::var json;
    if (parseJson (text, json).failed() || ! isJsonObject (json))
        return false;

    // Only a real boolean true counts; a number or a string does not.
    const auto ready = json.getProperty ("ready", {});
    return ready.isBool() && (bool) ready;
}

Processor::CurveData parseCurveReply (const juce::String& text)
{
    Processor::CurveData result;
    juce::var json;

    if (parseJson (text, json).failed() || ! isJsonObject (json))
    {
        result.error = "Could not parse the curves response.";
        return result;
    }

    result.ok = true;
    result.frameRate = (double) json.getProperty ("frame_rate", 0.0);
    result.f0Hz = numbersOf (json.getProperty ("f0_hz", {}));
    result.rawLoudnessDb = numbersOf (json.getProperty ("raw_loudness_db", {}));
    result.modelLoudnessDb = numbersOf (json.getProperty ("model_loudness_db", {}));
    result.gateMask = flagsOf (json.getProperty ("gate_mask", {}));
    return result;
}
}
