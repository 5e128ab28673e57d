// mainjob_bench: how long after the transport stops the take is ready, per
// mode, for the example and for a 60 s performance, with the local service
// set to a realistic render latency (200 ms + 0.3 s per second of audio).
//
//   mainjob_bench [--offline-too]
//
// The service's own time per render is estimated as its latency model plus
// the reference synthesiser's time for the same body, timed here directly.
#include "RenderSession.h"
#include "ReferenceSynth.h"

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_events/juce_events.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace
{
    constexpr double latencyMs = 200.0;
    constexpr double latencyFactor = 0.3;

    /** About 60 s of phrases of eight to twelve notes with short rests. */
    juce::File writeLongPerformance (const juce::File& file)
    {
        constexpr int ppq = 480;
        const auto tick = [] (double seconds) { return std::round (seconds * 2.0 * ppq); }; // 120 BPM

        juce::MidiMessageSequence track;
        track.addEvent (juce::MidiMessage::tempoMetaEvent (500000), 0);
        const int scale[] = { 60, 62, 64, 65, 67, 69, 71, 72 };
        double t = 0.25;
        int phrase = 0;
        while (t < 58.0)
        {
            const int notes = 8 + (phrase % 5);
            for (int i = 0; i < notes && t < 59.5; ++i)
            {
                const int pitch = scale[(phrase * 3 + i) % 8];
                track.addEvent (juce::MidiMessage::noteOn (1, pitch, (juce::uint8) (80 + (i * 7) % 40)), tick (t));
                track.addEvent (juce::MidiMessage::noteOff (1, pitch), tick (t + 0.35));
                if (i == notes / 2)
                    for (int k = 0; k <= 6; ++k)
                        track.addEvent (juce::MidiMessage::controllerEvent (1, 1, k * 15), tick (t + k * 0.05));
                t += 0.4;
            }
            track.addEvent (juce::MidiMessage::controllerEvent (1, 1, 0), tick (t));
            t += 0.8; // rest: more than the 0.25 s that cuts a phrase
            ++phrase;
        }
        track.updateMatchedPairs();

        juce::MidiFile midi;
        midi.setTicksPerQuarterNote (ppq);
        midi.addTrack (track);
        file.deleteFile();
        juce::FileOutputStream out (file);
        midi.writeTo (out);
        return file;
    }

    struct ServiceWork
    {
        int renders = 0;
        double lastMs = 0.0;   // the last render the service was asked for
        double totalMs = 0.0;
    };

    ServiceWork estimateServiceWork (const std::vector<juce::String>& bodies)
    {
        ServiceWork w;
        for (const auto& body : bodies)
        {
            marlune::service::RenderPlan plan;
            std::string error;
            if (! marlune::service::parseBody (body.toStdString(), marlune::service::BodyKind::Render, plan, error))
                continue;
            const auto t0 = std::chrono::steady_clock::now();
            const auto samples = marlune::service::renderSamples (plan);
            const auto wav = marlune::service::encodeWav16Mono (samples, plan.outSr);
            const double synthMs = std::chrono::duration<double, std::milli> (std::chrono::steady_clock::now() - t0).count();
            const double audioSeconds = (double) samples.size() / plan.outSr;
            const double ms = synthMs + latencyMs + latencyFactor * audioSeconds * 1000.0;
            ++w.renders;
            w.lastMs = ms;
            w.totalMs += ms;
            (void) wav;
        }
        return w;
    }
}

int main (int argc, char** argv)
{
    const bool offlineToo = argc > 1 && juce::String (argv[1]) == "--offline-too";
    juce::ScopedJuceInitialiser_GUI juceInitialiser;

    const auto dir = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("marlune-mainjob-bench");
    dir.createDirectory();

    marlune::render::Options base;
    juce::StringArray none;
    int code = 0;
    juce::String message;
    marlune::render::parseArguments (none, base, code, message); // defaults: the example
    base.quiet = true;
    base.serviceLatencyMs = latencyMs;
    base.serviceLatencyFactor = latencyFactor;

    struct Piece { const char* name; juce::File midi; };
    const Piece pieces[] = { { "example", base.midiFile },
                             { "60 s", writeLongPerformance (dir.getChildFile ("sixty-seconds.mid")) } };

    std::printf ("local service latency: %.0f ms + %.1f x audio length; times in ms\n", latencyMs, latencyFactor);
    std::printf ("%-8s %-9s %-11s %8s %7s %14s %12s %14s\n", "piece", "pacing", "mode", "length s", "clips",
                 "stop->ready", "service last", "service total");

    for (const auto& piece : pieces)
        for (const bool realtime : { true, false })
        {
            if (! realtime && ! offlineToo)
                continue;
            for (const bool streaming : { true, false })
            {
                auto o = base;
                o.midiFile = piece.midi;
                o.realtime = realtime;
                o.streaming = streaming;
                o.outFile = dir.getChildFile ("out.wav");

                std::ostringstream quiet;
                const auto r = marlune::render::run (o, quiet, false);
                if (r.exitCode != marlune::render::exitOk)
                {
                    std::printf ("%-8s %-9s %-11s failed: %s\n", piece.name, realtime ? "real time" : "offline",
                                 streaming ? "streaming" : "whole take", r.error.toRawUTF8());
                    continue;
                }
                const auto work = estimateServiceWork (r.renderBodies);
                std::printf ("%-8s %-9s %-11s %8.2f %7d %14.0f %12.0f %14.0f\n", piece.name,
                             realtime ? "real time" : "offline", streaming ? "streaming" : "whole take",
                             r.performanceSeconds, streaming ? r.clips : r.regions, r.stopToReadyMs,
                             work.lastMs, work.totalMs);
                std::fflush (stdout);
            }
        }

    std::printf ("stop->ready: wall time from the transport stop to \"Take ready\".\n"
                 "service last / total: the service's own time (latency model plus synthesis) for the\n"
                 "last render it was asked for and summed over all renders of the take; streamed phrases\n"
                 "render three at a time while the performance plays, so most of that total is\n"
                 "hidden before the stop.\n");
    dir.deleteRecursively();
    return 0;
}
