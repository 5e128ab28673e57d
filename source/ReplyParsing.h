#pragma once

#include "InstrumentProcessor.h"

#include <vector>

/** Turning the service's JSON reply texts into the plug-in's values. Pure
    functions with no network and no shared state, so the code that fetches
    and the fuzzers that feed arbitrary text run exactly the same parsing. */
namespace marlune::replies
{
    using Processor = MarluneInstrumentProcessor;

    /** "/v1/pmis": the "pmis" array, in order; a missing member gives an
        empty text, an element that is not an object three empty texts. Not
        an object or no array: an empty list. */
    std::vector<Processor::PmiInfo> parseLibraryReply (const juce::String& text);

    /** "/v1/me": the member "email" as text (empty when absent). */
    juce::String parseEmailReply (const juce::String& text);

    /** "/v1/auth/device/start": the device code and the verification address. */
    struct DeviceStart
    {
        juce::String deviceCode;
        juce::String verifyUrl;
    };
    DeviceStart parseDeviceStartReply (const juce::String& text);

    /** "/v1/auth/refresh" and a finished device poll: both tokens as text. */
    struct Tokens
    {
        juce::String access;
        juce::String refresh;
    };
    Tokens parseTokenReply (const juce::String& text);

    /** "/v1/renders/warmup-status": ready only for a JSON object whose
        "ready" is the boolean true. */
    bool parseWarmupReady (const juce::String& text);

    /** "/api/curves" answered 200: ok when the text is a JSON object. */
    Processor::CurveData parseCurveReply (const juce::String& text);
}
