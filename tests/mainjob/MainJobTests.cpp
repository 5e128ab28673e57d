// End-to-end checks of the main job: the built marlune-render binary plays a
// short performance through the real processor, pipeline and local render
// service, and the WAV it writes is inspected.
#include "MarluneService.h"

#include <gtest/gtest.h>
#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_audio_formats/juce_audio_formats.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace
{
    constexpr double rate = 48000.0;

    //==========================================================================
    // The short performance. 120 BPM for beats 0..4 (2.0 s), then 60 BPM, so
    // a player that ignored the tempo map would put phrase 2 at 2.5 s, inside
    // the rest, instead of 3.0 s.
    struct Span { double from, to; };
    const Span phrase1Notes[] = { { 0.25, 0.5 }, { 0.5, 1.0 } };
    const Span phrase2Notes[] = { { 3.0, 3.5 }, { 3.5, 4.0 } };
    constexpr double performanceEnd = 4.0;
    constexpr double toolTail = 0.5;            // marlune-render plays on this long
    constexpr double phrase2Start = 3.0;
    // Phrase 1 ends at 1.0 s; its rendered release and 250 ms reverb tail are
    // long gone 0.6 s later.
    const Span rest { 1.6, 2.98 };
    const Span leadIn { 0.0, 0.2 };

    juce::File writeMidi (const juce::File& file, bool withNotes)
    {
        constexpr int ppq = 480;
        const auto tick = [] (double beat) { return std::round (beat * ppq); };

        juce::MidiMessageSequence tempo;
        tempo.addEvent (juce::MidiMessage::tempoMetaEvent (500000), 0);
        tempo.addEvent (juce::MidiMessage::tempoMetaEvent (1000000), tick (4.0));

        juce::MidiMessageSequence track;
        const auto note = [&] (double beat, double beats, int pitch)
        {
            track.addEvent (juce::MidiMessage::noteOn (1, pitch, (juce::uint8) 100), tick (beat));
            track.addEvent (juce::MidiMessage::noteOff (1, pitch), tick (beat + beats));
        };
        track.addEvent (juce::MidiMessage::controllerEvent (1, 1, 0), 0);
        if (withNotes)
        {
            note (0.5, 0.5, 67);       // 0.25 .. 0.5 s
            note (1.0, 1.0, 69);       // 0.5 .. 1.0 s
            note (5.0, 0.5, 72);       // 3.0 .. 3.5 s
            note (5.5, 0.5, 71);       // 3.5 .. 4.0 s
        }
        for (int i = 0; i <= 4; ++i)   // vibrato in phrase 1, bend in phrase 2
            track.addEvent (juce::MidiMessage::controllerEvent (1, 1, i * 25), tick (1.2 + i * 0.1));
        for (int i = 0; i <= 4; ++i)
            track.addEvent (juce::MidiMessage::pitchWheel (1, 8192 + i * 2000), tick (5.6 + i * 0.05));
        track.addEvent (juce::MidiMessage::pitchWheel (1, 8192), tick (6.0));
        track.updateMatchedPairs();

        juce::MidiFile midi;
        midi.setTicksPerQuarterNote (ppq);
        midi.addTrack (tempo);
        midi.addTrack (track);
        file.deleteFile();
        juce::FileOutputStream out (file);
        EXPECT_TRUE (out.openedOk() && midi.writeTo (out));
        return file;
    }

    //==========================================================================
    struct ToolRun
    {
        int exitCode = -1;
        bool timedOut = false;
        juce::String output;

        /** The last line that starts with the prefix, without it. */
        juce::String last (const juce::String& prefix) const
        {
            juce::String found;
            for (const auto& line : juce::StringArray::fromLines (output))
                if (line.startsWith (prefix))
                    found = line.substring (prefix.length()).trim();
            return found;
        }
    };

    /** Runs the built tool; a watchdog kills it after the limit, so a hang
        fails the test instead of stalling the suite. */
    ToolRun runTool (juce::StringArray args, int limitMs = 120000)
    {
        args.insert (0, MARLUNE_RENDER_BINARY);
        ToolRun run;
        juce::ChildProcess child;
        if (! child.start (args, juce::ChildProcess::wantStdOut | juce::ChildProcess::wantStdErr))
        {
            run.output = "could not start " + args[0];
            return run;
        }

        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        std::thread watchdog ([&]
        {
            std::unique_lock<std::mutex> lock (m);
            if (! cv.wait_for (lock, std::chrono::milliseconds (limitMs), [&] { return done; }))
            {
                run.timedOut = true;
                child.kill();
            }
        });

        run.output = child.readAllProcessOutput();
        // The pipe closes before the child is reaped; asking for the exit
        // code before then would read 0.
        child.waitForProcessToFinish (limitMs);
        run.exitCode = (int) child.getExitCode();
        {
            const std::lock_guard<std::mutex> lock (m);
            done = true;
        }
        cv.notify_all();
        watchdog.join();
        return run;
    }

    //==========================================================================
    struct Audio
    {
        int channels = 0;
        double sampleRate = 0.0;
        juce::AudioBuffer<float> samples;
    };

    Audio readWav (const juce::File& file)
    {
        Audio a;
        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatReader> reader (wav.createReaderFor (new juce::FileInputStream (file), true));
        if (reader == nullptr)
            return a;
        a.channels = (int) reader->numChannels;
        a.sampleRate = reader->sampleRate;
        a.samples.setSize (a.channels, (int) reader->lengthInSamples);
        reader->read (&a.samples, 0, (int) reader->lengthInSamples, 0, true, true);
        return a;
    }

    int at (double seconds) { return (int) std::lround (seconds * rate); }

    float rms (const juce::AudioBuffer<float>& b, int channel, Span s)
    {
        return b.getRMSLevel (channel, at (s.from), at (s.to) - at (s.from));
    }

    float peak (const juce::AudioBuffer<float>& b, int channel, Span s)
    {
        return b.getMagnitude (channel, at (s.from), at (s.to) - at (s.from));
    }

    /** Largest difference between the output and the take file placed at
        `origin` seconds, over the parts of the note spans the file covers. */
    float differenceFromTake (const juce::AudioBuffer<float>& out, const juce::AudioBuffer<float>& take, double origin)
    {
        float worst = 0.0f;
        int compared = 0;
        for (const auto& group : { phrase1Notes, phrase2Notes })
            for (int n = 0; n < 2; ++n)
            {
                // Skip the regions' 5 ms edge fades, which the file does not hold.
                for (int i = at (group[n].from + 0.01); i < at (group[n].to - 0.01); ++i)
                {
                    const int k = i - at (origin);
                    if (k < 0 || k >= take.getNumSamples())
                        continue;
                    worst = juce::jmax (worst, std::abs (out.getSample (0, i) - take.getSample (0, k)));
                    ++compared;
                }
            }
        return compared > 0 ? worst : 1.0f;
    }

    //==========================================================================
    class MainJob : public ::testing::Test
    {
    protected:
        static void SetUpTestSuite()
        {
            // Take files go to the temporary directory; a private one keeps
            // other suites running at the same time from overwriting ours.
            dir() = juce::File ("/tmp").getChildFile ("marlune-mainjob-" + juce::String ((int) getpid()));
            dir().deleteRecursively();
            dir().createDirectory();
            setenv ("TMPDIR", dir().getFullPathName().toRawUTF8(), 1);
            writeMidi (dir().getChildFile ("two-phrases.mid"), true);
            writeMidi (dir().getChildFile ("no-notes.mid"), false);
            dir().getChildFile ("not-midi.mid").replaceWithText ("MThd but not really a MIDI file");
        }

        static void TearDownTestSuite() { dir().deleteRecursively(); }

        static juce::File& dir()
        {
            static juce::File d;
            return d;
        }

        static juce::String path (const juce::String& name) { return dir().getChildFile (name).getFullPathName(); }
    };

    //==========================================================================
    struct ModeCase
    {
        const char* name;
        juce::StringArray args;
        const char* finalStatus;
        bool realtime;
    };

    void PrintTo (const ModeCase& c, std::ostream* os) { *os << c.name; }

    class MainJobModes : public MainJob, public ::testing::WithParamInterface<ModeCase> {};

    TEST_P (MainJobModes, WritesTheTakeWherePhrasesWereAndSilenceInTheRest)
    {
        const auto& c = GetParam();
        const auto out = dir().getChildFile (juce::String (c.name) + ".wav");
        auto args = c.args;
        args.addArray ({ "--midi", path ("two-phrases.mid"), "--out", out.getFullPathName() });

        const auto run = runTool (args);
        SCOPED_TRACE (run.output.toStdString());
        ASSERT_FALSE (run.timedOut);
        ASSERT_EQ (run.exitCode, 0);
        EXPECT_EQ (run.last ("status:"), c.finalStatus);

        // Not a terminal: plain lines, no carriage-return redraws.
        EXPECT_FALSE (run.output.containsChar ('\r'));
        EXPECT_TRUE (run.output.contains ("progress: ["));

        const auto audio = readWav (out);
        ASSERT_EQ (audio.channels, 2);
        EXPECT_EQ (audio.sampleRate, rate);
        EXPECT_EQ (audio.samples.getNumSamples(), at (performanceEnd + toolTail));

        for (int ch = 0; ch < 2; ++ch)
        {
            for (const auto& group : { phrase1Notes, phrase2Notes })
                for (int n = 0; n < 2; ++n)
                    EXPECT_GT (rms (audio.samples, ch, { group[n].from + 0.02, group[n].to - 0.02 }), 0.01f)
                        << "no sound in the note at " << group[n].from << " s, channel " << ch;

            EXPECT_LT (peak (audio.samples, ch, rest), 1.0e-3f) << "sound in the rest between the phrases";
            EXPECT_LT (peak (audio.samples, ch, leadIn), 1.0e-3f) << "sound before the first note";
        }

        // What was heard is the take itself, at the performance's positions.
        const auto takeFile = juce::File (run.last ("take-file:"));
        ASSERT_TRUE (takeFile.existsAsFile()) << takeFile.getFullPathName();
        const auto take = readWav (takeFile);
        ASSERT_EQ (take.channels, 1);
        // A streamed take file starts at the first phrase that finished
        // (phrases may finish out of order); the whole-take file at sample 0.
        const float diff = juce::jmin (differenceFromTake (audio.samples, take.samples, 0.0),
                                       differenceFromTake (audio.samples, take.samples, phrase2Start));
        EXPECT_LT (diff, 2.0e-3f);

        if (c.realtime)
        {
            // A phrase finished while the performance was still playing.
            const auto stop = run.last ("transport-stop:");
            const int clips = stop.fromFirstOccurrenceOf ("clips-rendered=", false, false).getIntValue();
            const int jobs = stop.fromFirstOccurrenceOf ("jobs-dispatched=", false, false).getIntValue();
            EXPECT_GE (clips, 1) << stop;
            EXPECT_GE (jobs, clips) << stop;
            EXPECT_TRUE (run.output.contains ("while it is still playing"));
        }
    }

    INSTANTIATE_TEST_SUITE_P (Modes, MainJobModes, ::testing::Values (
        ModeCase { "offline_streaming", { "--offline", "--streaming", "on" },
                   "Take ready (2 clips) - run Freeze again to commit.", false },
        ModeCase { "offline_whole_take", { "--offline", "--streaming", "off", "--instrument", "felt-piano" },
                   "Take ready (1 total) - run Freeze again to commit.", false },
        ModeCase { "realtime_streaming", { "--realtime", "--block", "256" },
                   "Take ready (2 clips) - press play to hear it in place.", true }),
        [] (const auto& info) { return std::string (info.param.name); });

    //==========================================================================
    // Failures: each ends quickly with its own exit code and a clear message.
    enum class Setup { none, serviceDown, startRefused, pollRefused, rendersRefused };

    struct FailureCase
    {
        const char* name;
        Setup setup;
        juce::StringArray args;    // "SERVICE" is replaced by the service address
        int exitCode;
        const char* message;       // expected in the output
    };

    void PrintTo (const FailureCase& c, std::ostream* os) { *os << c.name; }

    class MainJobFailures : public MainJob, public ::testing::WithParamInterface<FailureCase> {};

    TEST_P (MainJobFailures, ExitWithTheirCodeAndSayWhy)
    {
        const auto& c = GetParam();

        marlune::service::RenderService::Options so;
        so.autoApprove = c.setup != Setup::pollRefused;
        marlune::service::RenderService service (so);
        juce::String url;
        if (c.setup != Setup::none)
        {
            ASSERT_TRUE (service.start());
            url = service.baseUrl();
            if (c.setup == Setup::serviceDown)
                service.stop();       // a loopback port with nobody listening
            if (c.setup == Setup::startRefused)
                service.failWithStatus ("/v1/auth/device/start", 500);
            if (c.setup == Setup::pollRefused)
                service.failWithStatus ("/v1/auth/device/poll", 410);
            if (c.setup == Setup::rendersRefused)
                service.failWithStatus ("/v1/renders", 400, 1000);
        }

        juce::StringArray args;
        for (auto a : c.args)
        {
            a = a.replace ("SERVICE", url).replace ("DIR/", dir().getFullPathName() + "/");
            args.add (a);
        }
        if (! args.contains ("--midi"))
            args.addArray ({ "--midi", path ("two-phrases.mid") });
        args.addArray ({ "--out", path (juce::String (c.name) + ".wav") });

        const auto run = runTool (args, 60000);
        SCOPED_TRACE (run.output.toStdString());
        ASSERT_FALSE (run.timedOut);
        EXPECT_EQ (run.exitCode, c.exitCode);
        EXPECT_TRUE (run.output.contains (c.message));
    }

    INSTANTIATE_TEST_SUITE_P (Failures, MainJobFailures, ::testing::Values (
        FailureCase { "help", Setup::none, { "--help" }, 0, "usage: marlune-render" },
        FailureCase { "unknown_option", Setup::none, { "--loud" }, 1, "unknown option --loud" },
        FailureCase { "bad_streaming_value", Setup::none, { "--streaming", "maybe" }, 1, "--streaming takes on or off" },
        FailureCase { "missing_midi", Setup::none, { "--offline", "--midi", "DIR/absent.mid" }, 2, "MIDI file not found" },
        FailureCase { "invalid_midi", Setup::none, { "--offline", "--midi", "DIR/not-midi.mid" }, 2, "not a readable standard MIDI file" },
        FailureCase { "midi_without_notes", Setup::none, { "--offline", "--midi", "DIR/no-notes.mid" }, 2, "holds no notes" },
        FailureCase { "unknown_instrument", Setup::none, { "--offline", "--instrument", "theremin" }, 1, "\"theremin\" is not in the library" },
        FailureCase { "service_unreachable", Setup::serviceDown, { "--offline", "--service", "SERVICE" }, 3, "unreachable" },
        FailureCase { "sign_in_start_refused", Setup::startRefused, { "--offline", "--service", "SERVICE" }, 4, "Sign-in failed: device/start HTTP 500" },
        FailureCase { "sign_in_expired", Setup::pollRefused, { "--offline", "--service", "SERVICE" }, 4, "sign-in expired" },
        FailureCase { "phrases_refused", Setup::rendersRefused, { "--offline", "--service", "SERVICE" }, 5, "phrases failed to render" },
        FailureCase { "whole_take_refused", Setup::rendersRefused, { "--offline", "--streaming", "off", "--service", "SERVICE" }, 5, "the render failed: Error: " }),
        [] (const auto& info) { return std::string (info.param.name); });

    TEST_F (MainJob, AnOutsideServicePrintsTheVerifyAddressForTheUser)
    {
        marlune::service::RenderService::Options so;
        so.autoApprove = true;
        marlune::service::RenderService service (so);
        ASSERT_TRUE (service.start());

        const auto run = runTool ({ "--offline", "--quiet", "--midi", path ("two-phrases.mid"),
                                    "--service", juce::String (service.baseUrl()), "--out", path ("outside.wav") });
        SCOPED_TRACE (run.output.toStdString());
        ASSERT_EQ (run.exitCode, 0);
        EXPECT_TRUE (run.output.contains ("sign-in: open " + juce::String (service.baseUrl()) + "/verify?code="));
        // Quiet: the address and the results, no status lines or progress.
        EXPECT_FALSE (run.output.contains ("status:"));
        EXPECT_FALSE (run.output.contains ("progress:"));
        EXPECT_TRUE (run.output.contains ("output: "));
        EXPECT_EQ (service.requestsTo ("/v1/renders").size(), 2u);
    }
}
