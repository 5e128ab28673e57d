// The render body writer fed with extreme settings restored from a saved
// state: every body kind must be a JSON object with its members in order,
// non-finite numbers written as null and "out_sr" an integer of at least 8000.

#include "FuzzSupport.h"
#include "InstrumentProcessor.h"
#include "RenderBody.h"

#include <cmath>
#include <cstring>

namespace
{
    using Processor = MarluneInstrumentProcessor;
    Processor* processor = nullptr;

    /** Reads fixed-size values from the fuzz bytes; zeros once they run out. */
    struct Reader
    {
        const uint8_t* data;
        size_t size;
        size_t pos = 0;

        template <typename T>
        T take()
        {
            T value {};
            unsigned char raw[sizeof (T)] = {};
            for (size_t i = 0; i < sizeof (T) && pos < size; ++i)
                raw[i] = data[pos++];
            std::memcpy (&value, raw, sizeof (T));
            return value;
        }
    };

    struct Setting { const char* key; bool isSwitch; };
    const Setting settings[] = {
        { "attack", false }, { "decay", false }, { "sustain", false }, { "release", false },
        { "loudnessGainDb", false }, { "velocityCurve", false }, { "normalizeLoudness", true },
        { "timbreDynamics", false }, { "noiseDb", false }, { "loudnessFloor", false }, { "gateDb", false },
        { "playRegions", true }, { "bendRange", false }, { "muted", true }, { "decayCurve", false },
        { "monitorRelease", false }, { "use48kModel", true }, { "vibratoSpeedHz", false },
        { "vibratoAmount", false }, { "vibratoMaxSemis", false }, { "reverbTailMs", false },
        { "chunkAtSilence", true }, { "streamWhileRecording", true },
    };

    const juce::StringArray phraseMembers { "model", "notes", "bends", "vibrato_speed", "vibrato_depth",
        "vibrato_max_semis", "reverb_tail_ms", "adsr", "loudness", "mode", "total_duration", "out_sr",
        "normalize_loudness", "timbre_dynamics", "noise_db", "loudness_floor_db", "gate_db", "dry" };
    const juce::StringArray curveMembers { "model", "notes", "bends", "vibrato_speed", "vibrato_depth",
        "vibrato_max_semis", "adsr", "loudness", "total_duration", "normalize_loudness", "timbre_dynamics",
        "loudness_floor_db", "gate_db" };

    juce::StringArray memberNames (const juce::var& object)
    {
        juce::StringArray names;
        if (auto* o = object.getDynamicObject())
            for (const auto& p : o->getProperties())
                names.add (p.name.toString());
        return names;
    }

    /** A written number reads back as null exactly when it was not finite,
        and otherwise as (nearly) the value written. */
    void checkNumber (const juce::var& written, double value)
    {
        if (! std::isfinite (value))
        {
            FUZZ_CHECK (written.isVoid());
            return;
        }
        FUZZ_CHECK (written.isDouble() || written.isInt() || written.isInt64());
        const auto back = (double) written;
        // Fifteen decimals: tiny values round to zero, big ones keep their digits.
        FUZZ_CHECK (std::abs (back - value) <= 1.0e-15 + std::abs (value) * 1.0e-12);
    }

    void checkPoints (const juce::var& array, const char* valueKey, const std::vector<Processor::BendEv>& points)
    {
        const auto* items = array.getArray();
        FUZZ_CHECK (items != nullptr && items->size() == (int) points.size());
        for (int i = 0; i < items->size(); ++i)
        {
            const auto& item = items->getReference (i);
            FUZZ_CHECK (memberNames (item) == (juce::StringArray { "time", valueKey }));
            checkNumber (item["time"], points[(size_t) i].time);
            checkNumber (item[valueKey], (double) points[(size_t) i].value);
        }
    }

    void checkBody (marlune::BodyKind kind, const juce::String& text, const marlune::BodySettings& s,
                    const std::vector<Processor::NoteEv>& notes, const std::vector<Processor::BendEv>& bends,
                    const std::vector<Processor::BendEv>& mods, double duration)
    {
        juce::var body;
        FUZZ_CHECK (juce::JSON::parse (text, body).wasOk());
        FUZZ_CHECK (body.getDynamicObject() != nullptr); // arrays also report isObject()

        auto expected = kind == marlune::BodyKind::curves ? curveMembers : phraseMembers;
        if (kind == marlune::BodyKind::wholeTake)
        {
            expected.insert (1, "pmi");
            if (s.chunkAtSilence)
                expected.addArray ({ "chunk_at_silence", "chunk_gap_ms" });
        }
        FUZZ_CHECK (memberNames (body) == expected);

        const auto* noteItems = body["notes"].getArray();
        FUZZ_CHECK (noteItems != nullptr && noteItems->size() == (int) notes.size());
        for (int i = 0; i < noteItems->size(); ++i)
        {
            const auto& n = noteItems->getReference (i);
            FUZZ_CHECK (memberNames (n) == (juce::StringArray { "start", "duration", "pitch", "velocity" }));
            checkNumber (n["start"], notes[(size_t) i].start);
            checkNumber (n["duration"], notes[(size_t) i].duration);
            FUZZ_CHECK ((n["pitch"].isInt() || n["pitch"].isInt64()) && (juce::int64) n["pitch"] == notes[(size_t) i].pitch);
            FUZZ_CHECK ((n["velocity"].isInt() || n["velocity"].isInt64()) && (juce::int64) n["velocity"] == notes[(size_t) i].velocity);
        }
        checkPoints (body["bends"], "semis", bends);
        checkPoints (body["vibrato_depth"], "depth", mods);

        FUZZ_CHECK (memberNames (body["adsr"]) == (juce::StringArray { "attack", "decay", "sustain", "release", "decay_curve" }));
        checkNumber (body["adsr"]["attack"], (double) s.attack);
        checkNumber (body["adsr"]["decay"], (double) (s.muted ? marlune::mutedDecaySeconds : s.decay));
        checkNumber (body["adsr"]["sustain"], (double) s.sustain);
        checkNumber (body["adsr"]["release"], (double) s.release);
        checkNumber (body["adsr"]["decay_curve"], (double) s.decayCurve);
        FUZZ_CHECK (memberNames (body["loudness"]) == (juce::StringArray { "gain_db", "vel_curve" }));
        checkNumber (body["loudness"]["gain_db"], (double) s.loudnessGainDb);
        checkNumber (body["loudness"]["vel_curve"], (double) s.velocityCurve);
        checkNumber (body["vibrato_speed"], (double) s.vibratoSpeedHz);
        checkNumber (body["vibrato_max_semis"], (double) s.vibratoMaxSemis);
        checkNumber (body["timbre_dynamics"], (double) s.timbreDynamics);
        checkNumber (body["loudness_floor_db"], (double) s.loudnessFloor);
        checkNumber (body["gate_db"], (double) s.gateDb);
        checkNumber (body["total_duration"], duration);
        FUZZ_CHECK (body["normalize_loudness"].isBool() && (bool) body["normalize_loudness"] == s.normalizeLoudness);

        if (kind != marlune::BodyKind::curves)
        {
            const auto& outSr = body["out_sr"];
            FUZZ_CHECK (outSr.isInt() || outSr.isInt64());
            FUZZ_CHECK ((juce::int64) outSr >= 8000);
            checkNumber (body["reverb_tail_ms"], (double) s.reverbTailMs);
            checkNumber (body["noise_db"], (double) s.noiseDb);
        }
    }
}

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    marlune::fuzz::initialiseJuce();
    processor = new Processor(); // lives for the whole run
    processor->setBackendUrl (marlune::fuzz::closedLoopbackUrl);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    Reader in { data, size };

    // The settings travel the way a host's project brings them: a saved state
    // whose numbers are doubles of any bit pattern.
    juce::ValueTree tree ("MarluneInstrument");
    for (const auto& setting : settings)
    {
        if (setting.isSwitch)
            tree.setProperty (setting.key, (in.take<uint8_t>() & 1) != 0, nullptr);
        else
            tree.setProperty (setting.key, in.take<double>(), nullptr);
    }
    juce::MemoryBlock state;
    {
        juce::MemoryOutputStream out (state, false);
        tree.writeToStream (out);
    }
    processor->setStateInformation (state.getData(), (int) state.getSize());
    processor->currentSampleRate = in.take<double>();

    std::vector<Processor::NoteEv> notes (in.take<uint8_t>() % 5);
    for (auto& n : notes)
    {
        n.start = in.take<double>();
        n.duration = in.take<double>();
        n.pitch = in.take<juce::int32>();
        n.velocity = in.take<juce::int32>();
    }
    std::vector<Processor::BendEv> bends (in.take<uint8_t>() % 4), mods (in.take<uint8_t>() % 4);
    for (auto* list : { &bends, &mods })
        for (auto& p : *list)
        {
            p.time = in.take<double>();
            p.value = in.take<float>();
        }
    const auto duration = in.take<double>();
    const auto pmiBytes = juce::MemoryBlock (data + in.pos, size - in.pos);

    const auto s = marlune::BodySettings::from (*processor);
    std::vector<Processor::NoteInfo> infos;
    for (const auto& n : notes)
        infos.push_back ({ n.start, n.duration, n.pitch, n.velocity });

    using marlune::BodyKind;
    checkBody (BodyKind::wholeTake,
               marlune::writeRenderBody (BodyKind::wholeTake, { &notes, nullptr, bends, mods, duration }, s, pmiBytes.toString()),
               s, notes, bends, mods, duration);
    checkBody (BodyKind::phrase,
               marlune::writeRenderBody (BodyKind::phrase, { &notes, nullptr, bends, mods, duration }, s, {}),
               s, notes, bends, mods, duration);
    checkBody (BodyKind::curves,
               marlune::writeRenderBody (BodyKind::curves, { nullptr, &infos, bends, mods, duration }, s, {}),
               s, notes, bends, mods, duration);
    return 0;
}
