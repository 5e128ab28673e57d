// Cost of processBlock at 48 kHz for the synthesiser alone, a dense capture
// and the playback of 64 regions, each next to a bare loop of the same
// per-sample arithmetic without the processor around it (its cost floor).
// Prints per-block time, the real-time factor and the ratio to the floor.

#include "InstrumentProcessor.h"
#include "ManualPlayHead.h"

#include <benchmark/benchmark.h>
#include <juce_events/juce_events.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace
{
    constexpr double rate = 48000.0;

    /** A processor, a play head and a stereo buffer, as a host would hold them. */
    struct Rig
    {
        explicit Rig (int blockSize) : buffer (2, blockSize)
        {
            processor = std::make_unique<MarluneInstrumentProcessor>();
            processor->setPlayHead (&playHead);
            processor->setRateAndBufferSizeDetails (rate, blockSize);
            processor->prepareToPlay (rate, blockSize);
        }

        ~Rig() { processor->setPlayHead (nullptr); }

        void block (juce::MidiBuffer& midi)
        {
            processor->processBlock (buffer, midi);
            if (playHead.playing)
                playHead.samplePosition += buffer.getNumSamples();
        }

        std::unique_ptr<MarluneInstrumentProcessor> processor;
        marlune::test::TestPlayHead playHead;
        juce::AudioBuffer<float> buffer;
        juce::MidiBuffer empty;
    };

    void setRealTimeFactor (benchmark::State& state, int blockSize)
    {
        state.counters["RTF"] = benchmark::Counter (blockSize / rate, benchmark::Counter::kIsIterationInvariantRate);
    }

    //==============================================================================
    // Synthesiser only: a held note with full vibrato.
    void synthProcessBlock (benchmark::State& state, int blockSize)
    {
        Rig rig (blockSize);
        rig.processor->vibratoAmount.store (1.0f);
        juce::MidiBuffer first;
        first.addEvent (juce::MidiMessage::noteOn (1, 69, (juce::uint8) 100), 0);
        rig.block (first);

        for (auto _ : state)
        {
            rig.block (rig.empty);
            benchmark::ClobberMemory();
        }
        setRealTimeFactor (state, blockSize);
    }

    /** The synthesiser's per-sample work with nothing around it: two smoothers
        and the velocity smoother, two sines, a power of two, the envelope and
        the write to both channels. */
    struct BareSynth
    {
        BareSynth()
        {
            envelope.setSampleRate (rate);
            envelope.setParameters ({ 0.007f, 5.0f, 0.01f, 0.005f });
            envelope.noteOn();
        }

        void render (float* const* out, int numChannels, int numSamples)
        {
            for (int i = 0; i < numSamples; ++i)
            {
                smoothedBend += (targetBend - smoothedBend) * (float) bendSmoothing;
                smoothedVibrato += (vibratoAmount - smoothedVibrato) * (float) bendSmoothing;
                const double lfo = std::sin (juce::MathConstants<double>::twoPi * vibratoPhase);
                vibratoPhase += vibratoSpeedHz / sampleRate;
                if (vibratoPhase >= 1.0)
                    vibratoPhase -= 1.0;
                const double ratio = std::exp2 ((smoothedBend + lfo * vibratoMaxSemis * smoothedVibrato) / 12.0);
                smoothedVelocity += (targetVelocity - smoothedVelocity) * (float) velocitySmoothing;
                const float env = envelope.getNextSample();
                const double tone = std::sin (juce::MathConstants<double>::twoPi * oscPhase);
                oscPhase += ratio * noteFrequency / sampleRate;
                if (oscPhase >= 1.0)
                    oscPhase -= 1.0;
                const float value = smoothedVelocity * (float) tone * env * 0.2f;
                for (int ch = 0; ch < numChannels; ++ch)
                    out[ch][i] += value;
            }
        }

        juce::ADSR envelope;
        double sampleRate = rate, bendSmoothing = 0.005195, velocitySmoothing = 0.00692;
        double vibratoPhase = 0.0, oscPhase = 0.0, noteFrequency = 440.0;
        float smoothedBend = 0.0f, targetBend = 0.0f, smoothedVibrato = 0.0f, vibratoAmount = 1.0f;
        float vibratoSpeedHz = 5.0f, vibratoMaxSemis = 0.5f, smoothedVelocity = 0.0f, targetVelocity = 100.0f / 127.0f;
    };

    void synthFloor (benchmark::State& state, int blockSize)
    {
        juce::AudioBuffer<float> buffer (2, blockSize);
        BareSynth synth;
        benchmark::DoNotOptimize (&synth);
        for (auto _ : state)
        {
            buffer.clear();
            synth.render (buffer.getArrayOfWritePointers(), 2, blockSize);
            benchmark::ClobberMemory();
        }
        setRealTimeFactor (state, blockSize);
    }

    //==============================================================================
    // Capture of a dense performance: a note every 10 ms (released after 5 ms)
    // and a pitch-bend point every 2.5 ms, re-armed every 10 s so that the
    // lists never fill up.
    void captureProcessBlock (benchmark::State& state, int blockSize)
    {
        Rig rig (blockSize);
        const int blocksPerTake = (int) (10.0 * rate) / blockSize;

        std::vector<juce::MidiBuffer> performance ((size_t) blocksPerTake);
        for (int b = 0; b < blocksPerTake; ++b)
        {
            for (int i = 0; i < blockSize; ++i)
            {
                const juce::int64 s = (juce::int64) b * blockSize + i;
                if (s % 480 == 0)
                    performance[(size_t) b].addEvent (juce::MidiMessage::noteOn (1, 48 + (int) (s / 480) % 24, (juce::uint8) 100), i);
                if (s % 480 == 240)
                    performance[(size_t) b].addEvent (juce::MidiMessage::noteOff (1, 48 + (int) (s / 480) % 24), i);
                if (s % 120 == 60)
                    performance[(size_t) b].addEvent (juce::MidiMessage::pitchWheel (1, (int) ((s * 37) % 16384)), i);
            }
        }

        int index = 0;
        for (auto _ : state)
        {
            if (index == 0)
            {
                state.PauseTiming();
                rig.playHead.playing = false;
                rig.block (rig.empty);
                rig.processor->arm();
                rig.playHead.playing = true;
                rig.playHead.samplePosition = 0;
                state.ResumeTiming();
            }
            rig.block (performance[(size_t) index]);
            benchmark::ClobberMemory();
            index = (index + 1) % blocksPerTake;
        }
        setRealTimeFactor (state, blockSize);
    }

    //==============================================================================
    // Playback of 64 regions of 10 s each, stacked 0.1 s apart, so that all 64
    // overlap the played span from 6.4 s to 10 s; no key is held.
    constexpr int numRegions = 64;
    constexpr int regionLength = (int) (10.0 * rate);
    constexpr juce::int64 regionSpacing = 4800;
    constexpr juce::int64 playFrom = numRegions * regionSpacing;
    constexpr juce::int64 playTo = regionLength;

    std::vector<std::vector<float>> makeRegionAudio()
    {
        std::vector<std::vector<float>> audio ((size_t) numRegions);
        for (int r = 0; r < numRegions; ++r)
        {
            audio[(size_t) r].resize ((size_t) regionLength);
            for (int i = 0; i < regionLength; ++i)
                audio[(size_t) r][(size_t) i] = 0.3f * std::sin (0.001f * (float) (i + r * 17));
        }
        return audio;
    }

    const std::vector<std::vector<float>>& regionAudio()
    {
        static const auto audio = makeRegionAudio();
        return audio;
    }

    void playbackProcessBlock (benchmark::State& state, int blockSize)
    {
        Rig rig (blockSize);
        for (int r = 0; r < numRegions; ++r)
        {
            MarluneInstrumentProcessor::Region region;
            region.startSample = r * regionSpacing;
            region.audio.setSize (1, regionLength);
            region.audio.copyFrom (0, 0, regionAudio()[(size_t) r].data(), regionLength);
            const juce::SpinLock::ScopedLockType sl (rig.processor->regionsLock);
            rig.processor->regions.push_back (std::move (region));
        }
        rig.playHead.playing = true;
        rig.playHead.samplePosition = playFrom;

        for (auto _ : state)
        {
            if (rig.playHead.samplePosition + blockSize > playTo)
                rig.playHead.samplePosition = playFrom; // the host loops the span
            rig.block (rig.empty);
            benchmark::ClobberMemory();
        }
        setRealTimeFactor (state, blockSize);
    }

    /** The per-sample mix alone: for each region over the block, its edge gain
        and one multiply-add pair per channel. */
    void playbackFloor (benchmark::State& state, int blockSize)
    {
        juce::AudioBuffer<float> buffer (2, blockSize);
        const auto& audio = regionAudio();
        const int fade = 240;
        juce::int64 position = playFrom;

        for (auto _ : state)
        {
            if (position + blockSize > playTo)
                position = playFrom;
            buffer.clear();
            auto* const* out = buffer.getArrayOfWritePointers();
            const juce::int64 blockEnd = position + blockSize;

            for (int r = 0; r < numRegions; ++r)
            {
                const juce::int64 start = r * regionSpacing;
                const juce::int64 len = regionLength;
                const juce::int64 s = juce::jmax (start, position);
                const juce::int64 e = juce::jmin (start + len, blockEnd);
                if (e <= s)
                    continue;
                const int edge = (int) juce::jmin ((juce::int64) fade, len / 2);
                const float* x = audio[(size_t) r].data();
                for (juce::int64 h = s; h < e; ++h)
                {
                    const juce::int64 k = h - start;
                    const float g = k < edge ? (float) k / (float) edge
                                  : k >= len - edge ? (float) (len - k) / (float) edge : 1.0f;
                    const auto i = (int) (h - position);
                    for (int ch = 0; ch < 2; ++ch)
                        out[ch][i] = (1.0f - g) * out[ch][i] + g * x[k];
                }
            }
            position += blockSize;
            benchmark::ClobberMemory();
        }
        setRealTimeFactor (state, blockSize);
    }

    //==============================================================================
    void constructAndDestroy (benchmark::State& state)
    {
        for (auto _ : state)
        {
            auto p = std::make_unique<MarluneInstrumentProcessor>();
            benchmark::DoNotOptimize (p.get());
            p.reset();
        }
    }

    //==============================================================================
    /** Collects each run's CPU time per block (µs) and RTF for the summary. */
    class CollectingReporter : public benchmark::ConsoleReporter
    {
    public:
        void ReportRuns (const std::vector<Run>& runs) override
        {
            ConsoleReporter::ReportRuns (runs);
            for (const auto& run : runs)
            {
                if (run.run_type != Run::RT_Iteration || run.error_occurred)
                    continue;
                const double perIterationSeconds = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier (run.time_unit);
                microseconds[run.benchmark_name()] = perIterationSeconds * 1e6;
            }
        }

        std::map<std::string, double> microseconds;
    };

    const char* const cases[] = { "synth", "capture", "playback" };
}

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juce;

    for (int blockSize : { 64, 512 })
    {
        const auto size = std::to_string (blockSize);
        benchmark::RegisterBenchmark (("synth/processBlock/" + size).c_str(), synthProcessBlock, blockSize)->Unit (benchmark::kMicrosecond);
        benchmark::RegisterBenchmark (("synth/floor/" + size).c_str(), synthFloor, blockSize)->Unit (benchmark::kMicrosecond);
        benchmark::RegisterBenchmark (("capture/processBlock/" + size).c_str(), captureProcessBlock, blockSize)->Unit (benchmark::kMicrosecond);
        benchmark::RegisterBenchmark (("capture/floor/" + size).c_str(), synthFloor, blockSize)->Unit (benchmark::kMicrosecond);
        benchmark::RegisterBenchmark (("playback/processBlock/" + size).c_str(), playbackProcessBlock, blockSize)->Unit (benchmark::kMicrosecond);
        benchmark::RegisterBenchmark (("playback/floor/" + size).c_str(), playbackFloor, blockSize)->Unit (benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark ("lifecycle/constructAndDestroy", constructAndDestroy)->Unit (benchmark::kMillisecond)->Iterations (20);

    benchmark::Initialize (&argc, argv);
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks (&reporter);

    std::printf ("\n%-10s %6s %14s %10s %12s %10s %8s\n", "case", "block", "processBlock", "RTF", "floor", "floor RTF", "ratio");
    for (const char* name : cases)
        for (int blockSize : { 64, 512 })
        {
            const auto size = std::to_string (blockSize);
            const auto p = reporter.microseconds.find (std::string (name) + "/processBlock/" + size);
            const auto f = reporter.microseconds.find (std::string (name) + "/floor/" + size);
            if (p == reporter.microseconds.end() || f == reporter.microseconds.end())
                continue;
            const double audioMicroseconds = blockSize / rate * 1e6;
            std::printf ("%-10s %6d %11.3f us %10.1f %9.3f us %10.1f %7.2fx\n", name, blockSize,
                         p->second, audioMicroseconds / p->second, f->second, audioMicroseconds / f->second,
                         p->second / f->second);
        }
    std::printf ("targets: synth and capture within 1.25x of the floor; playback RTF above 500\n");

    benchmark::Shutdown();
    return 0;
}
