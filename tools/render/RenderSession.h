// marlune-render's engine: plays a standard MIDI file into a
// MarluneInstrumentProcessor the way a DAW does, waits for the take and
// writes what playback of the segment sounds like with the take in place.
//
// run() must be called on the message thread while a
// juce::ScopedJuceInitialiser_GUI is alive; the tool's main and the timing
// program both call it.
#pragma once

#include <juce_core/juce_core.h>

#include <ostream>
#include <vector>

namespace marlune::render
{
    /** Process exit codes, also listed by --help. */
    enum ExitCode
    {
        exitOk = 0,
        exitUsage = 1,          // bad command line, unknown instrument
        exitMidi = 2,           // MIDI file missing, unreadable or without notes
        exitService = 3,        // service unreachable, could not start, no library
        exitSignIn = 4,         // sign-in failed or timed out
        exitRender = 5,         // render failed, a phrase failed, or no take in time
        exitOutput = 6,         // output WAV could not be written
        exitInterrupted = 7     // the message loop was asked to quit
    };

    struct Options
    {
        juce::File midiFile;           // default: the committed example
        juce::File outFile;            // default: build/marlune-render-out.wav
        bool streaming = true;         // the processor's streamWhileRecording
        juce::String instrument;       // empty: the library's choice
        double sampleRate = 48000.0;
        int blockSize = 512;
        bool realtime = true;          // false: as fast as possible, flagged offline
        bool quiet = false;
        juce::String serviceUrl;       // empty: the local service, in-process
        double serviceLatencyMs = 0.0;     // in-process service only
        double serviceLatencyFactor = 0.0; // in-process service only
        double tailSeconds = 0.5;      // transport keeps playing after the last event
    };

    struct Result
    {
        int exitCode = exitOk;
        juce::String error;             // why, when exitCode is not exitOk
        juce::String finalStatus;       // the processor's status line at the end
        juce::String takeFile;          // getLastTakeFile()
        juce::File outFile;
        double performanceSeconds = 0.0; // time of the file's last MIDI event
        juce::int64 segmentSamples = 0;  // samples played (performance plus tail)
        int clipsAtStop = 0, jobsAtStop = 0;   // phrase counters at the transport stop
        int clips = 0, jobs = 0, regions = 0;  // at the end
        double stopToReadyMs = -1.0;     // transport stop to the take being ready
        std::vector<juce::String> renderBodies; // bodies the in-process service rendered
    };

    juce::String usageText();

    /** Parses argv (without the program name). False: do not run; exitCode
        says why (0 after --help) and message holds what to print. */
    bool parseArguments (const juce::StringArray& args, Options& options, int& exitCode, juce::String& message);

    /** Renders; progress goes to `out` (bar redrawn in place only when
        `terminal`), errors are returned in the result for the caller to print. */
    Result run (const Options& options, std::ostream& out, bool terminal);
}
