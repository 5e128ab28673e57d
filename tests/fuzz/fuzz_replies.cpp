// The JSON replies of the service (library, account, device start, tokens,
// warm-up status, curves) parsed from arbitrary text with the functions the
// processor itself uses.

#include "FuzzSupport.h"
#include "ReplyParsing.h"

#include <algorithm>

using namespace marlune::replies;

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    marlune::fuzz::initialiseJuce();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    // Replies are read as UTF-8 text, the way the HTTP layer turns bytes into a string.
    const auto text = juce::MemoryBlock (data, size).toString();

    // The oracle parses the text itself only when that is safe for the
    // framework's recursive reader; deeper text must be refused by the parsers.
    int depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (auto* c = text.toRawUTF8(); *c != 0; ++c)
    {
        if (inString)                      { if (escaped) escaped = false; else if (*c == '\\') escaped = true; else if (*c == '"') inString = false; }
        else if (*c == '"')                inString = true;
        else if (*c == '[' || *c == '{')   deepest = std::max (deepest, ++depth);
        else if (*c == ']' || *c == '}')   --depth;
    }
    if (deepest > 256)
    {
        FUZZ_CHECK (parseLibraryReply (text).empty());
        FUZZ_CHECK (! parseWarmupReady (text));
        FUZZ_CHECK (! parseCurveReply (text).ok);
        return 0;
    }

    juce::var json;
    // Arrays count as objects for juce::var; a JSON object has a DynamicObject.
    const bool isObject = juce::JSON::parse (text, json).wasOk() && json.getDynamicObject() != nullptr;

    const auto library = parseLibraryReply (text);
    if (! isObject)
        FUZZ_CHECK (library.empty());
    // Each entry needs at least "{}" or a one-character value in the text.
    FUZZ_CHECK (library.size() <= size);

    (void) parseEmailReply (text);
    (void) parseDeviceStartReply (text);
    (void) parseTokenReply (text);

    if (parseWarmupReady (text))
        FUZZ_CHECK (isObject && json.getProperty ("ready", {}).isBool());

    const auto curves = parseCurveReply (text);
    FUZZ_CHECK (curves.ok == isObject);
    FUZZ_CHECK (curves.ok == curves.error.isEmpty());
    if (! curves.ok)
        FUZZ_CHECK (curves.frameRate == 250.0 && curves.f0Hz.empty() && curves.gateMask.empty());
    for (auto flag : curves.gateMask)
        FUZZ_CHECK (flag == 0 || flag == 1);
    return 0;
}
