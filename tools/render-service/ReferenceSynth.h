// Reference synthesiser of the local render service: turns a render body into
// audio and control curves. It is a deterministic harmonic-plus-noise
// wavetable synth, not a neural engine; its only job is audio whose pitch,
// envelope, loudness, timbre and length really follow the body, so that the
// plug-in's pipeline can be tested end to end.
#pragma once

#include <string>
#include <vector>

namespace marlune::service {

struct NoteSpec {
    double start = 0.0;     // seconds from the start of the span
    double duration = 0.0;  // seconds
    int pitch = 60;         // MIDI note number
    int velocity = 100;     // 0..127 as played
};

struct TimedValue {
    double time = 0.0;  // seconds
    double value = 0.0;
};

struct EnvelopeSpec {
    double attack = 0.01;   // seconds
    double decay = 0.1;     // seconds
    double sustain = 0.8;   // 0..1
    double release = 0.2;   // seconds
    double decayCurve = 1.0;  // 1 linear, above 1 drops faster at first
};

struct RenderPlan {
    std::string pmi;  // empty: the default timbre (phrase bodies carry none)
    std::vector<NoteSpec> notes;
    std::vector<TimedValue> bends;         // semitones, held until the next point
    std::vector<TimedValue> vibratoDepth;  // 0..1, held until the next point
    double vibratoSpeedHz = 5.0;
    double vibratoMaxSemis = 0.0;
    double reverbTailMs = 0.0;
    EnvelopeSpec adsr;
    double gainDb = 0.0;
    double velCurve = 1.0;
    double totalDuration = 0.0;  // seconds, without the tail
    int outSr = 48000;
    bool normalizeLoudness = false;
    double loudnessFloorDb = -60.0;
    double gateDb = -50.0;
};

// Which body is parsed: the render body carries "out_sr" and
// "reverb_tail_ms", the curve body does not.
enum class BodyKind { Render, Curves };

// Parses and validates a JSON body. On failure returns false and a message
// naming the offending member, fit for a 400 reply.
bool parseBody(const std::string& json, BodyKind kind, RenderPlan& out, std::string& error);

// Mono samples at plan.outSr, round((totalDuration + tail) * outSr) long,
// within -1..1. Same plan, same samples.
std::vector<float> renderSamples(const RenderPlan& plan);

// Number of samples renderSamples yields for the plan.
long long renderedLength(const RenderPlan& plan);

// A mono 16-bit PCM WAV file.
std::string encodeWav16Mono(const std::vector<float>& samples, int sampleRate);

struct CurveSet {
    double frameRate = 250.0;
    std::vector<double> f0Hz;
    std::vector<double> rawLoudnessDb;
    std::vector<double> modelLoudnessDb;
    std::vector<bool> gateMask;
};

// Frame-by-frame curves of the performance, round(totalDuration * 250) frames.
CurveSet computeCurves(const RenderPlan& plan);

// The "/api/curves" reply text.
std::string curvesToJson(const CurveSet& curves);

}  // namespace marlune::service
