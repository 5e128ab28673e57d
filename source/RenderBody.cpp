#include "RenderBody.h"

#include <cmath>
#include <cstdio>

namespace marlune
{

//==============================================================================
void JsonWriter::newline()
{
    text << "\n" << juce::String::repeatedString ("  ", depth);
}

void JsonWriter::beginValue (const char* key)
{
    if (! firstInScope.isEmpty())
    {
        if (! firstInScope.getLast())
            text << ",";
        firstInScope.setUnchecked (firstInScope.size() - 1, false);
        newline();
    }

    if (key != nullptr)
        text << juce::JSON::toString (juce::String (key)) << ": ";
}

JsonWriter& JsonWriter::beginObject (const char* key)
{
    beginValue (key);
    text << "{";
    firstInScope.add (true);
    ++depth;
    return *this;
}

JsonWriter& JsonWriter::endObject()
{
    --depth;
    const bool empty = firstInScope.getLast();
    firstInScope.removeLast();
    if (! empty)
        newline();
    text << "}";
    return *this;
}

JsonWriter& JsonWriter::beginArray (const char* key)
{
    beginValue (key);
    text << "[";
    firstInScope.add (true);
    ++depth;
    return *this;
}

JsonWriter& JsonWriter::endArray()
{
    --depth;
    const bool empty = firstInScope.getLast();
    firstInScope.removeLast();
    if (! empty)
        newline();
    text << "]";
    return *this;
}

juce::String JsonWriter::formatDouble (double value)
{
    if (! std::isfinite (value))
        return "null";

    char buffer[400];
    std::snprintf (buffer, sizeof (buffer), "%.15f", value);

    // Trim trailing zeros but keep one digit after the point, so the text
    // still reads as a double.
    juce::String s (buffer);
    if (s.containsChar ('.'))
    {
        while (s.endsWithChar ('0') && ! s.endsWith (".0"))
            s = s.dropLastCharacters (1);
    }
    if (s == "-0.0")
        s = "0.0";
    return s;
}

JsonWriter& JsonWriter::number (const char* key, double value)
{
    beginValue (key);
    text << formatDouble (value);
    return *this;
}

JsonWriter& JsonWriter::integer (const char* key, juce::int64 value)
{
    beginValue (key);
    text << juce::String (value);
    return *this;
}

JsonWriter& JsonWriter::boolean (const char* key, bool value)
{
    beginValue (key);
    text << (value ? "true" : "false");
    return *this;
}

JsonWriter& JsonWriter::string (const char* key, const juce::String& value)
{
    beginValue (key);
    text << juce::JSON::toString (value);
    return *this;
}

//==============================================================================
BodySettings BodySettings::from (const MarluneInstrumentProcessor& p)
{
    return { p.attack.load(), p.decay.load(), p.sustain.load(), p.release.load(), p.decayCurve.load(),
             p.loudnessGainDb.load(), p.velocityCurve.load(),
             p.normalizeLoudness.load(),
             p.timbreDynamics.load(), p.noiseDb.load(), p.loudnessFloor.load(), p.gateDb.load(),
             p.vibratoSpeedHz.load(), p.vibratoMaxSemis.load(), p.reverbTailMs.load(),
             p.muted.load(), p.chunkAtSilence.load(),
             p.currentSampleRate };
}

int outputSampleRate (double hostRate)
{
    // A NaN or absurd rate still yields a sendable integer.
    if (! (hostRate >= 8000.5))
        return 8000;
    if (hostRate > 1.0e9)
        return 1000000000;
    const auto rounded = (int) std::llround (hostRate);
    return rounded < 8001 ? 8000 : rounded;
}

namespace
{
    using Processor = MarluneInstrumentProcessor;

    template <typename NoteType>
    void writeNotes (JsonWriter& w, const std::vector<NoteType>& notes)
    {
        w.beginArray ("notes");
        for (const auto& n : notes)
        {
            w.beginObject()
             .number ("start", n.start)
             .number ("duration", n.duration)
             .integer ("pitch", n.pitch)
             .integer ("velocity", n.velocity)
             .endObject();
        }
        w.endArray();
    }

    void writePoints (JsonWriter& w, const char* arrayKey, const char* valueKey,
                      const std::vector<Processor::BendEv>& points)
    {
        w.beginArray (arrayKey);
        for (const auto& p : points)
            w.beginObject().number ("time", p.time).number (valueKey, (double) p.value).endObject();
        w.endArray();
    }
}

juce::String writeRenderBody (BodyKind kind, const BodyPerformance& performance,
                              const BodySettings& s, const juce::String& pmi)
{
    const bool curves = kind == BodyKind::curves;
    JsonWriter w;

    w.beginObject();
    w.string ("model", "tf48k");

    if (kind == BodyKind::wholeTake)
        w.string ("pmi", pmi);

    if (performance.noteInfos != nullptr)
        writeNotes (w, *performance.noteInfos);
    else if (performance.notes != nullptr)
        writeNotes (w, *performance.notes);
    else
        w.beginArray ("notes").endArray();

    writePoints (w, "bends", "semis", performance.bends);
    w.number ("vibrato_speed", (double) s.vibratoSpeedHz);
    writePoints (w, "vibrato_depth", "depth", performance.mods);
    w.number ("vibrato_max_semis", (double) s.vibratoMaxSemis);

    if (! curves)
        w.number ("reverb_tail_ms", (double) s.reverbTailMs);

    w.beginObject ("adsr")
     .number ("attack", (double) s.attack)
     .number ("decay", (double) (s.muted ? mutedDecaySeconds : s.decay))
     .number ("sustain", (double) s.sustain)
     .number ("release", (double) s.release)
     .number ("decay_curve", (double) s.decayCurve)
     .endObject();

    w.beginObject ("loudness")
     .number ("gain_db", (double) s.loudnessGainDb)
     .number ("vel_curve", (double) s.velocityCurve)
     .endObject();

    if (! curves)
        w.string ("mode", "ddsp");

    w.number ("total_duration", performance.totalDuration);

    if (! curves)
        w.integer ("out_sr", outputSampleRate (s.sampleRate));

    w.boolean ("normalize_loudness", s.normalizeLoudness);
    w.number ("timbre_dynamics", (double) s.timbreDynamics);

    if (! curves)
        w.number ("noise_db", (double) s.noiseDb);

    w.number ("loudness_floor_db", (double) s.loudnessFloor);
    w.number ("gate_db", (double) s.gateDb);

    if (! curves)
        w.boolean ("dry", true);

    if (kind == BodyKind::wholeTake && s.chunkAtSilence)
    {
        w.boolean ("chunk_at_silence", true);
        w.number ("chunk_gap_ms", (double) chunkGapMs);
    }

    w.endObject();
    return w.toString();
}

} // namespace marlune
