#pragma once

#include "InstrumentProcessor.h"

namespace marlune
{

/** Builds JSON text with members in the order they are added. Numbers that
    are not integers are written as doubles with at most 15 decimals; a
    non-finite number, which JSON cannot carry, is written as null. */
class JsonWriter
{
public:
    JsonWriter& beginObject (const char* key = nullptr);
    JsonWriter& endObject();
    JsonWriter& beginArray (const char* key);
    JsonWriter& endArray();
    JsonWriter& number (const char* key, double value);
    JsonWriter& integer (const char* key, juce::int64 value);
    JsonWriter& boolean (const char* key, bool value);
    JsonWriter& string (const char* key, const juce::String& value);

    juce::String toString() const { return text; }

    static juce::String formatDouble (double value);

private:
    void beginValue (const char* key);
    void newline();

    juce::String text;
    juce::Array<bool> firstInScope;
    int depth = 0;
};

/** The settings a body reads, taken once while it is built. */
struct BodySettings
{
    float attack, decay, sustain, release, decayCurve;
    float loudnessGainDb, velocityCurve;
    bool normalizeLoudness;
    float timbreDynamics, noiseDb, loudnessFloor, gateDb;
    float vibratoSpeedHz, vibratoMaxSemis, reverbTailMs;
    bool muted, chunkAtSilence;
    double sampleRate;

    static BodySettings from (const MarluneInstrumentProcessor&);
};

/** The decay sent to the service: short and damped when muted. */
inline constexpr float mutedDecaySeconds = 0.15f;

/** Silence the service is asked to split a whole take at, in milliseconds. */
inline constexpr int chunkGapMs = 250;

/** "out_sr": the host rate rounded, at least 8000. */
int outputSampleRate (double hostRate);

enum class BodyKind { wholeTake, phrase, curves };

struct BodyPerformance
{
    const std::vector<MarluneInstrumentProcessor::NoteEv>* notes = nullptr;
    const std::vector<MarluneInstrumentProcessor::NoteInfo>* noteInfos = nullptr; // curves only
    const std::vector<MarluneInstrumentProcessor::BendEv>& bends;
    const std::vector<MarluneInstrumentProcessor::BendEv>& mods;
    double totalDuration;
};

/** The one writer of the render and curve bodies. pmi is used only for a whole take. */
juce::String writeRenderBody (BodyKind kind, const BodyPerformance& performance,
                              const BodySettings& settings, const juce::String& pmi);

} // namespace marlune
