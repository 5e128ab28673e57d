#include "ReferenceSynth.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace marlune::service {

namespace {

using json = nlohmann::json;

// ---------------------------------------------------------------------------
// Body limits: generous for any real take, small enough that one request
// cannot exhaust the machine.
constexpr double kMaxTotalDurationSeconds = 600.0;
constexpr double kMaxReverbTailMs = 30000.0;
constexpr int kMinSampleRate = 8000;
constexpr int kMaxSampleRate = 192000;
constexpr std::size_t kMaxNotes = 100000;
constexpr std::size_t kMaxControlPoints = 1000000;
constexpr double kMaxBendSemis = 96.0;
constexpr double kMaxVibratoSpeedHz = 100.0;
constexpr double kMaxVibratoSemis = 48.0;
constexpr double kMaxEnvelopeSeconds = 60.0;
constexpr double kMinGainDb = -96.0;
constexpr double kMaxGainDb = 48.0;
constexpr double kMaxCurveExponent = 20.0;
// A zero decay curve would hold the level flat and then jump; treat it as
// "very fast" instead.
constexpr double kMinDecayCurve = 0.01;

// Reads members of the body and keeps the first error, named by its path
// ("notes[2].pitch"), so a 400 reply tells the caller exactly what is wrong.
class BodyReader {
public:
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }

    void fail(const std::string& message) {
        if (error_.empty())
            error_ = message;
    }

    const json* member(const json& object, const char* key, const std::string& path, bool required) {
        auto it = object.find(key);
        if (it == object.end()) {
            if (required)
                fail("missing member \"" + path + key + "\"");
            return nullptr;
        }
        return &*it;
    }

    // Non-finite numbers arrive as null, so null is rejected like any other
    // non-number.
    void number(const json& object, const char* key, const std::string& path, double& out,
                double low, double high, bool required = true) {
        const json* value = member(object, key, path, required);
        if (value == nullptr)
            return;
        if (!value->is_number()) {
            fail("\"" + path + key + "\" must be a finite number");
            return;
        }
        const double v = value->get<double>();
        if (!std::isfinite(v) || v < low || v > high) {
            fail("\"" + path + key + "\" is out of range");
            return;
        }
        out = v;
    }

    void integer(const json& object, const char* key, const std::string& path, int& out,
                 long long low, long long high, bool required = true) {
        const json* value = member(object, key, path, required);
        if (value == nullptr)
            return;
        if (!value->is_number_integer()) {
            fail("\"" + path + key + "\" must be an integer");
            return;
        }
        const long long v = value->get<long long>();
        if (v < low || v > high) {
            fail("\"" + path + key + "\" is out of range");
            return;
        }
        out = static_cast<int>(v);
    }

    void boolean(const json& object, const char* key, bool& out) {
        const json* value = member(object, key, "", false);
        if (value == nullptr)
            return;
        if (!value->is_boolean()) {
            fail("\"" + std::string(key) + "\" must be a boolean");
            return;
        }
        out = value->get<bool>();
    }

    void text(const json& object, const char* key, std::string& out) {
        const json* value = member(object, key, "", false);
        if (value == nullptr)
            return;
        if (!value->is_string()) {
            fail("\"" + std::string(key) + "\" must be a string");
            return;
        }
        out = value->get<std::string>();
    }

    const json* object(const json& parent, const char* key) {
        const json* value = member(parent, key, "", true);
        if (value != nullptr && !value->is_object()) {
            fail("\"" + std::string(key) + "\" must be an object");
            return nullptr;
        }
        return value;
    }

    const json* array(const json& parent, const char* key, std::size_t maxSize) {
        const json* value = member(parent, key, "", true);
        if (value == nullptr)
            return nullptr;
        if (!value->is_array()) {
            fail("\"" + std::string(key) + "\" must be an array");
            return nullptr;
        }
        if (value->size() > maxSize) {
            fail("\"" + std::string(key) + "\" has too many entries");
            return nullptr;
        }
        return value;
    }

private:
    std::string error_;
};

std::string elementPath(const char* key, std::size_t index) {
    return std::string(key) + "[" + std::to_string(index) + "].";
}

void readNotes(BodyReader& reader, const json& body, RenderPlan& plan) {
    const json* notes = reader.array(body, "notes", kMaxNotes);
    if (notes == nullptr)
        return;
    for (std::size_t i = 0; i < notes->size() && !reader.failed(); ++i) {
        const json& item = (*notes)[i];
        const std::string path = elementPath("notes", i);
        if (!item.is_object()) {
            reader.fail("\"notes[" + std::to_string(i) + "]\" must be an object");
            return;
        }
        NoteSpec note;
        reader.number(item, "start", path, note.start, 0.0, kMaxTotalDurationSeconds);
        reader.number(item, "duration", path, note.duration, 0.0, kMaxTotalDurationSeconds);
        reader.integer(item, "pitch", path, note.pitch, 0, 127);
        reader.integer(item, "velocity", path, note.velocity, 0, 127);
        plan.notes.push_back(note);
    }
}

void readPoints(BodyReader& reader, const json& body, const char* key, const char* valueKey,
                double low, double high, std::vector<TimedValue>& out) {
    const json* points = reader.array(body, key, kMaxControlPoints);
    if (points == nullptr)
        return;
    for (std::size_t i = 0; i < points->size() && !reader.failed(); ++i) {
        const json& item = (*points)[i];
        const std::string path = elementPath(key, i);
        if (!item.is_object()) {
            reader.fail("\"" + std::string(key) + "[" + std::to_string(i) + "]\" must be an object");
            return;
        }
        TimedValue point;
        reader.number(item, "time", path, point.time, -kMaxTotalDurationSeconds, kMaxTotalDurationSeconds);
        reader.number(item, valueKey, path, point.value, low, high);
        out.push_back(point);
    }
}

void readEnvelope(BodyReader& reader, const json& body, EnvelopeSpec& adsr) {
    const json* object = reader.object(body, "adsr");
    if (object == nullptr)
        return;
    const std::string path = "adsr.";
    reader.number(*object, "attack", path, adsr.attack, 0.0, kMaxEnvelopeSeconds);
    reader.number(*object, "decay", path, adsr.decay, 0.0, kMaxEnvelopeSeconds);
    reader.number(*object, "sustain", path, adsr.sustain, 0.0, 1.0);
    reader.number(*object, "release", path, adsr.release, 0.0, kMaxEnvelopeSeconds);
    reader.number(*object, "decay_curve", path, adsr.decayCurve, 0.0, kMaxCurveExponent);
}

void readLoudness(BodyReader& reader, const json& body, RenderPlan& plan) {
    const json* object = reader.object(body, "loudness");
    if (object == nullptr)
        return;
    const std::string path = "loudness.";
    reader.number(*object, "gain_db", path, plan.gainDb, kMinGainDb, kMaxGainDb);
    reader.number(*object, "vel_curve", path, plan.velCurve, 0.0, kMaxCurveExponent);
}

}  // namespace

bool parseBody(const std::string& text, BodyKind kind, RenderPlan& out, std::string& error) {
    const json body = json::parse(text, nullptr, false);
    if (body.is_discarded()) {
        error = "body is not valid JSON";
        return false;
    }
    if (!body.is_object()) {
        error = "body must be a JSON object";
        return false;
    }

    RenderPlan plan;
    BodyReader reader;
    reader.text(body, "pmi", plan.pmi);
    readNotes(reader, body, plan);
    readPoints(reader, body, "bends", "semis", -kMaxBendSemis, kMaxBendSemis, plan.bends);
    reader.number(body, "vibrato_speed", "", plan.vibratoSpeedHz, 0.0, kMaxVibratoSpeedHz);
    // Modulation-wheel points are 0..1; anything beyond is clamped when
    // synthesising rather than refused.
    readPoints(reader, body, "vibrato_depth", "depth", -1e9, 1e9, plan.vibratoDepth);
    reader.number(body, "vibrato_max_semis", "", plan.vibratoMaxSemis, 0.0, kMaxVibratoSemis);
    if (kind == BodyKind::Render)
        reader.number(body, "reverb_tail_ms", "", plan.reverbTailMs, 0.0, kMaxReverbTailMs);
    readEnvelope(reader, body, plan.adsr);
    readLoudness(reader, body, plan);
    reader.number(body, "total_duration", "", plan.totalDuration, 0.0, kMaxTotalDurationSeconds);
    if (kind == BodyKind::Render)
        reader.integer(body, "out_sr", "", plan.outSr, kMinSampleRate, kMaxSampleRate);
    reader.boolean(body, "normalize_loudness", plan.normalizeLoudness);
    reader.number(body, "loudness_floor_db", "", plan.loudnessFloorDb, -240.0, 240.0, false);
    reader.number(body, "gate_db", "", plan.gateDb, -240.0, 240.0, false);

    if (reader.failed()) {
        error = reader.error();
        return false;
    }
    out = std::move(plan);
    return true;
}

// ---------------------------------------------------------------------------
// Synthesis

namespace {

constexpr int kHarmonics = 32;
constexpr int kTableSize = 2048;
// Harmonic counts of the band-limited tables; a voice uses the richest one
// whose top harmonic stays below Nyquist.
constexpr std::array<int, 10> kTableHarmonicLimits{1, 2, 3, 4, 6, 8, 12, 16, 24, 32};
// Pitch and envelope are evaluated once per block and interpolated inside.
constexpr int kControlBlock = 16;
// Leaves headroom for chords before the limiter has to act.
constexpr double kVoiceGain = 0.25;
constexpr double kPeakCeiling = 0.98;
constexpr double kReverbWet = 0.3;
constexpr std::array<double, 4> kCombDelaysMs{29.7, 37.1, 41.1, 43.7};
constexpr std::array<double, 2> kAllpassDelaysMs{5.0, 1.7};
constexpr double kAllpassGain = 0.7;
constexpr double kCurveFrameRate = 250.0;
constexpr double kSilentDb = -120.0;
constexpr double kPi = 3.14159265358979323846;

struct Timbre {
    std::array<double, kHarmonics> harmonics{};
    double noiseLevel = 0.0;        // steady noise, relative to the harmonic part
    double noiseSmoothing = 0.5;    // one-pole low-pass coefficient of the noise
    double transientLevel = 0.0;    // noise burst at the onset (pluck, hammer)
    double transientSeconds = 0.01;
    double naturalDecaySeconds = 0.0;  // 0: the note holds while the key is down
};

Timbre defaultTimbre() {
    Timbre t;
    for (int h = 1; h <= kHarmonics; ++h)
        t.harmonics[h - 1] = 1.0 / std::pow(h, 1.6);
    t.noiseLevel = 0.01;
    return t;
}

Timbre nylonGuitar() {
    Timbre t;
    constexpr double pluckPosition = 0.18;
    for (int h = 1; h <= kHarmonics; ++h)
        t.harmonics[h - 1] = std::fabs(std::sin(kPi * h * pluckPosition)) / std::pow(h, 1.1);
    t.noiseLevel = 0.004;
    t.noiseSmoothing = 0.35;
    t.transientLevel = 0.25;
    t.transientSeconds = 0.015;
    t.naturalDecaySeconds = 1.2;
    return t;
}

Timbre feltPiano() {
    Timbre t;
    for (int h = 1; h <= kHarmonics; ++h)
        t.harmonics[h - 1] = std::exp(-h / 6.0) / std::pow(h, 0.8);
    t.noiseLevel = 0.003;
    t.noiseSmoothing = 0.15;
    t.transientLevel = 0.12;
    t.transientSeconds = 0.008;
    t.naturalDecaySeconds = 2.5;
    return t;
}

Timbre celloEnsemble() {
    Timbre t;
    for (int h = 1; h <= kHarmonics; ++h) {
        const double formant = (h >= 3 && h <= 5) ? 1.6 : 1.0;
        t.harmonics[h - 1] = formant / h;
    }
    t.noiseLevel = 0.03;
    t.noiseSmoothing = 0.6;
    return t;
}

// Instruments without a voice of their own get one derived from their slug,
// so every listed instrument still sounds different from the others.
Timbre derivedTimbre(const std::string& slug) {
    const std::size_t hash = std::hash<std::string>{}(slug);
    Timbre t;
    const double tilt = 0.8 + static_cast<double>(hash % 1000) / 1000.0;
    const double oddBoost = ((hash >> 10) % 2 == 0) ? 1.0 : 1.8;
    for (int h = 1; h <= kHarmonics; ++h)
        t.harmonics[h - 1] = (h % 2 == 1 ? oddBoost : 1.0) / std::pow(h, tilt);
    t.noiseLevel = 0.005 + static_cast<double>((hash >> 12) % 100) / 4000.0;
    t.naturalDecaySeconds = ((hash >> 20) % 2 == 0) ? 0.0 : 1.5;
    return t;
}

Timbre timbreFor(const std::string& slug) {
    if (slug.empty())
        return defaultTimbre();
    if (slug == "nylon-guitar")
        return nylonGuitar();
    if (slug == "felt-piano")
        return feltPiano();
    if (slug == "cello-ensemble")
        return celloEnsemble();
    return derivedTimbre(slug);
}

struct TimbreTables {
    Timbre timbre;
    // One table per harmonic limit, each with a guard sample at the end.
    std::array<std::vector<float>, kTableHarmonicLimits.size()> tables;
};

std::shared_ptr<const TimbreTables> buildTables(const std::string& slug) {
    auto result = std::make_shared<TimbreTables>();
    result->timbre = timbreFor(slug);
    const auto& harmonics = result->timbre.harmonics;

    std::vector<double> full(kTableSize, 0.0);
    for (int i = 0; i < kTableSize; ++i)
        for (int h = 1; h <= kHarmonics; ++h)
            full[i] += harmonics[h - 1] * std::sin(2.0 * kPi * h * i / kTableSize);
    double peak = 0.0;
    for (double v : full)
        peak = std::max(peak, std::fabs(v));
    // Every band-limited table shares the full table's scale, so switching
    // tables while bending does not jump in loudness.
    const double scale = peak > 0.0 ? 1.0 / peak : 1.0;

    for (std::size_t k = 0; k < kTableHarmonicLimits.size(); ++k) {
        auto& table = result->tables[k];
        table.assign(kTableSize + 1, 0.0f);
        for (int i = 0; i < kTableSize; ++i) {
            double v = 0.0;
            for (int h = 1; h <= kTableHarmonicLimits[k]; ++h)
                v += harmonics[h - 1] * std::sin(2.0 * kPi * h * i / kTableSize);
            table[i] = static_cast<float>(v * scale);
        }
        table[kTableSize] = table[0];
    }
    return result;
}

std::shared_ptr<const TimbreTables> tablesFor(const std::string& slug) {
    static std::mutex cacheMutex;
    static std::map<std::string, std::shared_ptr<const TimbreTables>> cache;
    std::lock_guard<std::mutex> lock(cacheMutex);
    auto& entry = cache[slug];
    if (!entry)
        entry = buildTables(slug);
    return entry;
}

const std::vector<float>& tableForFrequency(const TimbreTables& tables, double frequency, double sampleRate) {
    const double allowed = (sampleRate * 0.5) / std::max(frequency, 1.0);
    std::size_t chosen = 0;
    for (std::size_t k = 0; k < kTableHarmonicLimits.size(); ++k)
        if (kTableHarmonicLimits[k] <= allowed)
            chosen = k;
    return tables.tables[chosen];
}

double dbToGain(double db) { return std::pow(10.0, db / 20.0); }

double midiToHz(double semis) { return 440.0 * std::exp2((semis - 69.0) / 12.0); }

// Bend and modulation points hold their value until the next point, as the
// MIDI controllers they come from do; before the first point the value is 0.
double heldValueAt(const std::vector<TimedValue>& sortedPoints, double time) {
    auto it = std::upper_bound(sortedPoints.begin(), sortedPoints.end(), time,
                               [](double t, const TimedValue& p) { return t < p.time; });
    if (it == sortedPoints.begin())
        return 0.0;
    return std::prev(it)->value;
}

std::vector<TimedValue> sortedByTime(std::vector<TimedValue> points) {
    std::stable_sort(points.begin(), points.end(),
                     [](const TimedValue& a, const TimedValue& b) { return a.time < b.time; });
    return points;
}

struct PitchModel {
    std::vector<TimedValue> bends;
    std::vector<TimedValue> depth;
    double vibratoSpeedHz;
    double vibratoMaxSemis;

    explicit PitchModel(const RenderPlan& plan)
        : bends(sortedByTime(plan.bends)),
          depth(sortedByTime(plan.vibratoDepth)),
          vibratoSpeedHz(plan.vibratoSpeedHz),
          vibratoMaxSemis(plan.vibratoMaxSemis) {}

    double frequencyAt(int pitch, double time) const {
        const double depthNow = std::clamp(heldValueAt(depth, time), 0.0, 1.0);
        const double vibrato = depthNow * vibratoMaxSemis * std::sin(2.0 * kPi * vibratoSpeedHz * time);
        return midiToHz(pitch + heldValueAt(bends, time) + vibrato);
    }
};

// Level before release: linear attack, then a decay towards sustain whose
// shape is (1 - x)^decay_curve.
double heldEnvelope(const EnvelopeSpec& e, double t) {
    if (t < e.attack)
        return t / e.attack;
    if (e.decay <= 0.0)
        return e.sustain;
    const double x = (t - e.attack) / e.decay;
    if (x >= 1.0)
        return e.sustain;
    const double curve = std::max(e.decayCurve, kMinDecayCurve);
    return e.sustain + (1.0 - e.sustain) * std::pow(1.0 - x, curve);
}

// Envelope at time tau after the note's start; the release runs linearly
// from the level reached at note-off.
double envelopeAt(const EnvelopeSpec& e, double noteDuration, double tau) {
    if (tau < 0.0)
        return 0.0;
    if (tau < noteDuration)
        return heldEnvelope(e, tau);
    if (e.release <= 0.0)
        return 0.0;
    const double r = (tau - noteDuration) / e.release;
    if (r >= 1.0)
        return 0.0;
    return heldEnvelope(e, noteDuration) * (1.0 - r);
}

double noteAmplitude(const RenderPlan& plan, const NoteSpec& note) {
    const double velocity = std::clamp(note.velocity / 127.0, 0.0, 1.0);
    return kVoiceGain * std::pow(velocity, plan.velCurve) * dbToGain(plan.gainDb);
}

// Deterministic noise: a per-voice xorshift generator.
struct NoiseSource {
    uint32_t state;
    explicit NoiseSource(uint32_t seed) : state(seed == 0 ? 0x9E3779B9u : seed) {}
    float next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<float>(state) * (2.0f / 4294967296.0f) - 1.0f;
    }
};

struct VoiceGains {
    double harmonic;
    double noise;
};

VoiceGains voiceGainsAt(const RenderPlan& plan, const Timbre& timbre, const NoteSpec& note, double tau) {
    double level = envelopeAt(plan.adsr, note.duration, tau);
    if (timbre.naturalDecaySeconds > 0.0)
        level *= std::exp(-tau / timbre.naturalDecaySeconds);
    double noise = level * timbre.noiseLevel;
    if (timbre.transientLevel > 0.0 && tau >= 0.0)
        noise += timbre.transientLevel * std::exp(-tau / timbre.transientSeconds);
    return {level, noise};
}

void renderVoice(const RenderPlan& plan, const PitchModel& pitch, const TimbreTables& tables,
                 const NoteSpec& note, uint32_t seed, std::vector<float>& out) {
    const double amplitude = noteAmplitude(plan, note);
    if (amplitude <= 0.0)
        return;
    const double sampleRate = plan.outSr;
    const long long length = static_cast<long long>(out.size());
    const long long first = std::llround(note.start * sampleRate);
    const double soundingSeconds = note.duration + plan.adsr.release;
    const long long last = std::min(length, std::llround((note.start + soundingSeconds) * sampleRate) + 1);
    if (first >= last)
        return;

    const Timbre& timbre = tables.timbre;
    NoiseSource noise(seed);
    const float smoothing = static_cast<float>(timbre.noiseSmoothing);
    float filteredNoise = 0.0f;
    double phase = 0.0;
    VoiceGains gainsAtStart = voiceGainsAt(plan, timbre, note, first / sampleRate - note.start);

    for (long long blockStart = first; blockStart < last; blockStart += kControlBlock) {
        const int count = static_cast<int>(std::min<long long>(kControlBlock, last - blockStart));
        const double time = blockStart / sampleRate;
        const VoiceGains gainsAtEnd =
            voiceGainsAt(plan, timbre, note, (blockStart + count) / sampleRate - note.start);
        const double frequency = pitch.frequencyAt(note.pitch, time);
        const std::vector<float>& table = tableForFrequency(tables, frequency, sampleRate);
        const double increment = frequency / sampleRate * kTableSize;

        const double harmonicStep = (gainsAtEnd.harmonic - gainsAtStart.harmonic) / count;
        const double noiseStep = (gainsAtEnd.noise - gainsAtStart.noise) / count;
        double harmonicGain = gainsAtStart.harmonic;
        double noiseGain = gainsAtStart.noise;
        float* dest = out.data() + blockStart;
        for (int i = 0; i < count; ++i) {
            const int index = static_cast<int>(phase);
            const double fraction = phase - index;
            const double wave = table[index] + fraction * (table[index + 1] - table[index]);
            filteredNoise += smoothing * (noise.next() - filteredNoise);
            dest[i] += static_cast<float>(amplitude * (harmonicGain * wave + noiseGain * filteredNoise));
            phase += increment;
            while (phase >= kTableSize)
                phase -= kTableSize;
            harmonicGain += harmonicStep;
            noiseGain += noiseStep;
        }
        gainsAtStart = gainsAtEnd;
    }
}

// A small Schroeder reverberator whose combs fall by 60 dB over the tail.
class ReverbTail {
public:
    ReverbTail(int sampleRate, double tailSeconds) {
        for (double ms : kCombDelaysMs) {
            const double delaySeconds = ms / 1000.0;
            combs_.push_back({std::vector<float>(delayLength(sampleRate, ms), 0.0f), 0,
                              static_cast<float>(std::pow(10.0, -3.0 * delaySeconds / tailSeconds))});
        }
        for (double ms : kAllpassDelaysMs)
            allpasses_.push_back({std::vector<float>(delayLength(sampleRate, ms), 0.0f), 0, 0.0f});
    }

    void process(std::vector<float>& samples) {
        const float combMix = 1.0f / static_cast<float>(combs_.size());
        for (float& sample : samples) {
            float wet = 0.0f;
            for (auto& comb : combs_) {
                const float delayed = comb.line[comb.index];
                comb.line[comb.index] = sample + comb.feedback * delayed;
                comb.index = (comb.index + 1) % comb.line.size();
                wet += delayed * combMix;
            }
            for (auto& allpass : allpasses_) {
                const float delayed = allpass.line[allpass.index];
                const float input = wet + static_cast<float>(kAllpassGain) * delayed;
                allpass.line[allpass.index] = input;
                allpass.index = (allpass.index + 1) % allpass.line.size();
                wet = delayed - static_cast<float>(kAllpassGain) * input;
            }
            sample += static_cast<float>(kReverbWet) * wet;
        }
    }

private:
    struct DelayLine {
        std::vector<float> line;
        std::size_t index;
        float feedback;
    };

    static std::size_t delayLength(int sampleRate, double ms) {
        return std::max<std::size_t>(1, static_cast<std::size_t>(sampleRate * ms / 1000.0));
    }

    std::vector<DelayLine> combs_;
    std::vector<DelayLine> allpasses_;
};

void limitPeak(std::vector<float>& samples) {
    float peak = 0.0f;
    for (float s : samples)
        peak = std::max(peak, std::fabs(s));
    if (peak <= kPeakCeiling)
        return;
    const float scale = static_cast<float>(kPeakCeiling) / peak;
    for (float& s : samples)
        s *= scale;
}

uint32_t voiceSeed(std::size_t noteIndex, const NoteSpec& note) {
    return static_cast<uint32_t>(0x2545F491u * (noteIndex + 1) + 0x9E3779B9u * (note.pitch + 1));
}

void appendLe(std::string& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

long long renderedLength(const RenderPlan& plan) {
    return std::llround((plan.totalDuration + plan.reverbTailMs / 1000.0) * plan.outSr);
}

std::vector<float> renderSamples(const RenderPlan& plan) {
    std::vector<float> out(static_cast<std::size_t>(std::max(0LL, renderedLength(plan))), 0.0f);
    const auto tables = tablesFor(plan.pmi);
    const PitchModel pitch(plan);
    for (std::size_t i = 0; i < plan.notes.size(); ++i)
        renderVoice(plan, pitch, *tables, plan.notes[i], voiceSeed(i, plan.notes[i]), out);
    if (plan.reverbTailMs > 0.0)
        ReverbTail(plan.outSr, plan.reverbTailMs / 1000.0).process(out);
    limitPeak(out);
    return out;
}

std::string encodeWav16Mono(const std::vector<float>& samples, int sampleRate) {
    constexpr int bytesPerSample = 2;
    constexpr int channels = 1;
    const uint32_t dataBytes = static_cast<uint32_t>(samples.size() * bytesPerSample);
    std::string out;
    out.reserve(44 + dataBytes);
    out += "RIFF";
    appendLe(out, 36 + dataBytes, 4);
    out += "WAVE";
    out += "fmt ";
    appendLe(out, 16, 4);
    appendLe(out, 1, 2);  // PCM
    appendLe(out, channels, 2);
    appendLe(out, static_cast<uint32_t>(sampleRate), 4);
    appendLe(out, static_cast<uint32_t>(sampleRate * channels * bytesPerSample), 4);
    appendLe(out, channels * bytesPerSample, 2);
    appendLe(out, 16, 2);
    out += "data";
    appendLe(out, dataBytes, 4);
    for (float s : samples) {
        const float clamped = std::clamp(s, -1.0f, 1.0f);
        const auto value = static_cast<int16_t>(std::lround(clamped * 32767.0f));
        appendLe(out, static_cast<uint16_t>(value), 2);
    }
    return out;
}

CurveSet computeCurves(const RenderPlan& plan) {
    CurveSet curves;
    curves.frameRate = kCurveFrameRate;
    const std::size_t frames = static_cast<std::size_t>(std::max(0LL, std::llround(plan.totalDuration * kCurveFrameRate)));
    const PitchModel pitch(plan);

    // Each note adds its level to the frames it sounds in; the loudest voice
    // of a frame gives its f0.
    std::vector<double> levelSum(frames, 0.0);
    std::vector<double> loudestLevel(frames, 0.0);
    std::vector<long long> loudestNote(frames, -1);
    for (std::size_t n = 0; n < plan.notes.size(); ++n) {
        const NoteSpec& note = plan.notes[n];
        const double amplitude = noteAmplitude(plan, note);
        const auto first = static_cast<long long>(std::ceil(note.start * kCurveFrameRate));
        const auto last = static_cast<long long>(
            std::floor((note.start + note.duration + plan.adsr.release) * kCurveFrameRate));
        for (long long f = std::max(0LL, first); f <= last && f < static_cast<long long>(frames); ++f) {
            const double level = amplitude * envelopeAt(plan.adsr, note.duration, f / kCurveFrameRate - note.start);
            levelSum[f] += level;
            if (level > loudestLevel[f]) {
                loudestLevel[f] = level;
                loudestNote[f] = static_cast<long long>(n);
            }
        }
    }

    for (std::size_t f = 0; f < frames; ++f) {
        const double time = f / kCurveFrameRate;
        const double raw = levelSum[f] > 0.0 ? std::max(kSilentDb, 20.0 * std::log10(levelSum[f])) : kSilentDb;
        const double f0 = loudestNote[f] >= 0 ? pitch.frequencyAt(plan.notes[loudestNote[f]].pitch, time) : 0.0;
        curves.f0Hz.push_back(f0);
        curves.rawLoudnessDb.push_back(raw);
        curves.modelLoudnessDb.push_back(std::max(raw, plan.loudnessFloorDb));
        curves.gateMask.push_back(raw > plan.gateDb);
    }
    return curves;
}

std::string curvesToJson(const CurveSet& curves) {
    nlohmann::ordered_json reply;
    reply["frame_rate"] = curves.frameRate;
    reply["f0_hz"] = curves.f0Hz;
    reply["raw_loudness_db"] = curves.rawLoudnessDb;
    reply["model_loudness_db"] = curves.modelLoudnessDb;
    reply["gate_mask"] = curves.gateMask;
    return reply.dump();
}

}  // namespace marlune::service
