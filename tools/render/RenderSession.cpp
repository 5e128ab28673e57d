#include "RenderSession.h"

#include "InstrumentProcessor.h"
#include "MarluneService.h"

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_events/juce_events.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>

#ifndef MARLUNE_EXAMPLE_MIDI
 #define MARLUNE_EXAMPLE_MIDI "examples/orvane-example.mid"
#endif

namespace marlune::render
{
namespace
{
    // The in-process service approves sign-in at once, so its polls need not
    // wait the production 2 s; an outside service keeps the plug-in's cadence.
    constexpr int embeddedSignInPollMs = 50;
    constexpr double embeddedSignInLimitMs = 30000.0;
    constexpr double libraryLimitMs = 30000.0;
    constexpr int sliceMs = 2;

    double nowMs() { return juce::Time::getMillisecondCounterHiRes(); }

    juce::String seconds (double s, int decimals = 2) { return juce::String (s, decimals) + " s"; }

    //==========================================================================
    /** The performance as sample-stamped channel messages, tempo map applied. */
    struct Performance
    {
        struct Event
        {
            juce::int64 sample;
            juce::MidiMessage message;
        };

        std::vector<Event> events;
        double lastEventSeconds = 0.0;
        int notes = 0;
    };

    bool loadPerformance (const juce::File& file, double rate, Performance& out, juce::String& error)
    {
        if (! file.existsAsFile())
        {
            error = "MIDI file not found: " + file.getFullPathName();
            return false;
        }

        juce::FileInputStream in (file);
        juce::MidiFile midi;
        if (! in.openedOk() || ! midi.readFrom (in, true))
        {
            error = "not a readable standard MIDI file: " + file.getFullPathName();
            return false;
        }

        // Every track's tempo events are used, so times follow the tempo map.
        midi.convertTimestampTicksToSeconds();

        juce::MidiMessageSequence merged;
        for (int t = 0; t < midi.getNumTracks(); ++t)
            for (const auto* e : *midi.getTrack (t))
                if (! e->message.isMetaEvent() && ! e->message.isSysEx())
                    merged.addEvent (e->message);
        merged.sort();

        for (const auto* e : merged)
        {
            const double t = e->message.getTimeStamp();
            if (! std::isfinite (t) || t < 0.0)
                continue;
            out.events.push_back ({ (juce::int64) std::llround (t * rate), e->message });
            out.lastEventSeconds = juce::jmax (out.lastEventSeconds, t);
            if (e->message.isNoteOn())
                ++out.notes;
        }

        if (out.notes == 0)
        {
            error = "the MIDI file holds no notes: " + file.getFullPathName();
            return false;
        }
        return true;
    }

    //==========================================================================
    /** Terminal output: permanent lines, and a progress bar that is redrawn in
        place on a terminal and printed as a line per change elsewhere. */
    class Console
    {
    public:
        Console (std::ostream& o, bool tty, bool q) : out (o), terminal (tty), quiet (q) {}
        ~Console() { finishBar(); }

        /** Leaves the bar as it stands on its own line; the next one starts afresh. */
        void finishBar()
        {
            if (terminal && barText.isNotEmpty())
                out << std::endl;
            barText.clear();
            barFinished = true;
        }

        void line (const juce::String& text)          { if (! quiet) write (text); }
        void always (const juce::String& text)        { write (text); }

        void progress (int done, int total, const juce::String& what)
        {
            if (quiet || total <= 0 || barFinished)
                return;

            constexpr int width = 24;
            const int filled = juce::jlimit (0, width, (int) std::lround ((double) width * done / total));
            const auto text = "[" + juce::String::repeatedString ("#", filled)
                              + juce::String::repeatedString ("-", width - filled) + "] "
                              + juce::String (done) + "/" + juce::String (total) + " " + what;
            if (text == barText)
                return;
            barText = text;

            if (terminal)
                out << "\r\033[K" << barText << std::flush;
            else
                out << "progress: " << barText << std::endl;
        }

    private:
        void write (const juce::String& text)
        {
            if (terminal && barText.isNotEmpty())
                out << "\r\033[K";
            out << text << std::endl;
            if (terminal && barText.isNotEmpty())
                out << barText << std::flush;
        }

        std::ostream& out;
        bool terminal, quiet;
        juce::String barText;
        bool barFinished = false;
    };

    //==========================================================================
    /** The transport, as the processor sees it through getPlayHead(). Only the
        audio thread writes and reads it. */
    class ToolPlayHead : public juce::AudioPlayHead
    {
    public:
        juce::Optional<PositionInfo> getPosition() const override
        {
            PositionInfo info;
            info.setIsPlaying (playing);
            info.setTimeInSamples (position);
            info.setTimeInSeconds ((double) position / rate);
            return info;
        }

        bool playing = false;
        juce::int64 position = 0;
        double rate = 48000.0;
    };

    /** One run of the transport over the segment on a thread of its own (the
        host's audio thread): play from sample 0 to the segment's end with the
        performance's MIDI, then stop and keep calling for a few blocks, as a
        host does. */
    class TransportPass
    {
    public:
        struct Settings
        {
            juce::int64 segmentSamples = 0;
            int blockSize = 512;
            double rate = 48000.0;
            bool paced = true;
            bool record = false;
        };

        TransportPass (MarluneInstrumentProcessor& p, const Performance& perf, Settings s)
            : processor (p), performance (perf), settings (s)
        {
            playHead.rate = s.rate;
            if (s.record)
                recorded.setSize (2, (int) s.segmentSamples);
        }

        ~TransportPass()
        {
            cancelled = true;
            if (thread.joinable())
                thread.join();
            processor.setPlayHead (nullptr);
        }

        void start()
        {
            processor.setPlayHead (&playHead);
            thread = std::thread ([this] { run(); });
        }

        void cancel() { cancelled = true; }

        std::atomic<bool> stopped { false }, finished { false }, cancelled { false };
        std::atomic<double> startWallMs { 0.0 }, stopWallMs { 0.0 };
        std::atomic<int> clipsAtStop { 0 }, jobsAtStop { 0 };
        juce::AudioBuffer<float> recorded;  // read only once finished

    private:
        void run()
        {
            const int block = settings.blockSize;
            juce::AudioBuffer<float> buffer (2, block);
            juce::MidiBuffer midi;
            midi.ensureSize (4096);

            const auto t0 = std::chrono::steady_clock::now();
            startWallMs = nowMs();
            const auto pace = [&] (juce::int64 samplesDone)
            {
                if (settings.paced)
                    std::this_thread::sleep_until (t0 + std::chrono::duration<double> ((double) samplesDone / settings.rate));
            };

            size_t next = 0;
            juce::int64 pos = 0;
            const auto& events = performance.events;

            // Full blocks, as a host sends them; the recording keeps the segment.
            while (pos < settings.segmentSamples && ! cancelled)
            {
                midi.clear();
                while (next < events.size() && events[next].sample < pos + block)
                {
                    midi.addEvent (events[next].message, (int) (events[next].sample - pos));
                    ++next;
                }

                playHead.playing = true;
                playHead.position = pos;
                processor.processBlock (buffer, midi);

                if (settings.record)
                {
                    const int n = (int) juce::jmin ((juce::int64) block, settings.segmentSamples - pos);
                    for (int ch = 0; ch < 2; ++ch)
                        recorded.copyFrom (ch, (int) pos, buffer, ch, 0, n);
                }

                pos += block;
                pace (pos);
            }

            clipsAtStop = processor.clipsRendered.load();
            jobsAtStop = processor.jobsDispatched.load();
            stopWallMs = nowMs();
            stopped = true;

            // A host keeps calling with the transport stopped; these blocks end
            // the capture and play the stop fade.
            midi.clear();
            const int stoppedBlocks = juce::jmax (4, (int) std::ceil (0.1 * settings.rate / block));
            for (int i = 0; i < stoppedBlocks && ! cancelled; ++i)
            {
                playHead.playing = false;
                playHead.position = pos;
                processor.processBlock (buffer, midi);
                pace (pos + (juce::int64) (i + 1) * block);
            }

            finished = true;
        }

        MarluneInstrumentProcessor& processor;
        const Performance& performance;
        const Settings settings;
        ToolPlayHead playHead;
        std::thread thread;
    };

    //==========================================================================
    class Session
    {
    public:
        Session (const Options& o, std::ostream& out, bool terminal)
            : options (o), console (out, terminal, o.quiet) {}

        Result run()
        {
            result.outFile = options.outFile;

            Performance performance;
            juce::String error;
            if (! loadPerformance (options.midiFile, options.sampleRate, performance, error))
                return fail (exitMidi, error);

            result.performanceSeconds = performance.lastEventSeconds;
            const auto wanted = (juce::int64) std::llround ((performance.lastEventSeconds + options.tailSeconds) * options.sampleRate);
            result.segmentSamples = wanted;

            console.line ("marlune-render: " + options.midiFile.getFileName() + " - "
                          + juce::String (performance.notes) + " notes, " + seconds (performance.lastEventSeconds)
                          + "; " + juce::String ((int) options.sampleRate) + " Hz, block " + juce::String (options.blockSize)
                          + ", " + (options.realtime ? "real time" : "offline") + ", "
                          + (options.streaming ? "streaming" : "whole take"));

            if (! startService())
                return result;

            processor = std::make_unique<MarluneInstrumentProcessor>();
            processor->setBackendUrl (serviceUrl);
            processor->openBrowser = [this] (const juce::URL& url)
            {
                const juce::ScopedLock sl (verifyLock);
                verifyUrl = url.toString (true);
            };
            if (embedded != nullptr)
                processor->timings.signInPollPauseMs = embeddedSignInPollMs;

            if (! signIn() || ! chooseInstrument())
                return result;

            processor->setRateAndBufferSizeDetails (options.sampleRate, options.blockSize);
            processor->prepareToPlay (options.sampleRate, options.blockSize);
            processor->streamWhileRecording = options.streaming;
            processor->playRegions = true;
            processor->setNonRealtime (! options.realtime);

            if (! capture (performance) || ! playBack (performance))
                return result;

            return result;
        }

    private:
        //----------------------------------------------------------------------
        Result fail (int code, const juce::String& why)
        {
            result.exitCode = code;
            result.error = why;
            if (processor != nullptr)
                result.finalStatus = processor->getStatus();
            return result;
        }

        bool failed (int code, const juce::String& why)
        {
            fail (code, why);
            return false;
        }

        /** Runs the message loop in short slices until done() or the limit. */
        bool pumpUntil (const std::function<bool()>& done, double limitMs, bool& timedOut)
        {
            timedOut = false;
            const double deadline = nowMs() + limitMs;
            for (;;)
            {
                watch();
                if (done())
                    return true;
                if (nowMs() > deadline)
                {
                    timedOut = true;
                    return false;
                }
                if (! juce::MessageManager::getInstance()->runDispatchLoopUntil (sliceMs))
                {
                    failed (exitInterrupted, "interrupted");
                    return false;
                }
            }
        }

        /** Called every slice: reports status changes and progress. */
        void watch()
        {
            if (processor == nullptr)
                return;

            {
                juce::String url;
                {
                    const juce::ScopedLock sl (verifyLock);
                    url = verifyUrl;
                }
                if (url.isNotEmpty() && url != shownVerifyUrl)
                {
                    shownVerifyUrl = url;
                    if (embedded != nullptr)
                        console.line ("sign-in: " + url + " (approved at once by the local service)");
                    else
                        console.always ("sign-in: open " + url + " in a browser and sign in; waiting for you...");
                }
            }

            const auto status = processor->getStatus();
            if (status != lastStatus)
            {
                lastStatus = status;
                console.line ("status: " + status);
                if (status.startsWith ("A phrase failed") || status.startsWith ("Error: "))
                    failureSeen = status;
            }

            if (capturePass == nullptr)
                return;

            if (options.streaming)
            {
                const int jobs = processor->jobsDispatched.load();
                const int clips = processor->clipsRendered.load();
                if (clips > lastClips)
                {
                    lastClips = clips;
                    if (! capturePass->stopped)
                        console.line ("phrase " + juce::String (clips) + " rendered at "
                                      + seconds ((nowMs() - capturePass->startWallMs) / 1000.0)
                                      + " into the performance, while it is still playing");
                }
                console.progress (clips, jobs, "phrases rendered");
            }
            else if (stopReported)
            {
                const auto s = processor->state.load();
                const bool done = s == MarluneInstrumentProcessor::Idle && processor->getNumRegions() > 0;
                console.progress (done ? 1 : 0, 1, "take rendered");
            }
        }

        //----------------------------------------------------------------------
        bool startService()
        {
            if (options.serviceUrl.isNotEmpty())
            {
                serviceUrl = options.serviceUrl;
                console.line ("service: " + serviceUrl);
                return true;
            }

            marlune::service::RenderService::Options so;
            so.autoApprove = true;
            so.renderLatencyMs = options.serviceLatencyMs;
            so.renderLatencyFactor = options.serviceLatencyFactor;
            embedded = std::make_unique<marlune::service::RenderService> (so);
            if (! embedded->start())
                return failed (exitService, "the local render service could not start on a loopback port");

            serviceUrl = embedded->baseUrl();
            console.line ("service: local render service at " + serviceUrl + " (in-process, auto-approve)");
            return true;
        }

        bool signIn()
        {
            processor->signIn();

            // The sign-in task's own limit: its polls, each at most a request long.
            const double limitMs = embedded != nullptr
                                       ? embeddedSignInLimitMs
                                       : marlune::waits::maxSignInPolls * (marlune::waits::signInPollPauseMs + 400.0) + 30000.0;
            bool timedOut = false;
            const auto signInOver = [this]
            {
                return processor->isSignedIn() || processor->getStatus().startsWith ("Sign-in");
            };
            if (! pumpUntil (signInOver, limitMs, timedOut) && ! timedOut)
                return false;

            if (! processor->isSignedIn())
            {
                const auto status = processor->getStatus();
                if (timedOut)
                    return failed (exitSignIn, "sign-in did not finish within " + seconds (limitMs / 1000.0, 0));
                if (status.contains ("Could not reach"))
                    return failed (exitService, "the render service is unreachable (" + status + ")");
                return failed (exitSignIn, status);
            }

            const auto libraryHere = [this]
            {
                return processor->libraryVersion.load() > 0 && ! processor->getLibrary().empty();
            };
            if (! pumpUntil (libraryHere, libraryLimitMs, timedOut))
                return timedOut ? failed (exitService, "the instrument library did not arrive from " + serviceUrl)
                                : false;
            return true;
        }

        bool chooseInstrument()
        {
            const auto library = processor->getLibrary();
            juce::StringArray slugs;
            for (const auto& p : library)
                slugs.add (p.slug);

            if (options.instrument.isNotEmpty())
            {
                if (! slugs.contains (options.instrument))
                    return failed (exitUsage, "instrument \"" + options.instrument + "\" is not in the library ("
                                                  + slugs.joinIntoString (", ") + ")");
                const juce::ScopedLock sl (processor->libraryLock);
                processor->selectedPmi = options.instrument;
            }

            console.line ("library: " + slugs.joinIntoString (", ") + "; instrument " + processor->getSelectedPmi());
            return true;
        }

        //----------------------------------------------------------------------
        bool capture (const Performance& performance)
        {
            TransportPass::Settings s;
            s.segmentSamples = result.segmentSamples;
            s.blockSize = options.blockSize;
            s.rate = options.sampleRate;
            s.paced = options.realtime;

            processor->arm();
            capturePass = std::make_unique<TransportPass> (*processor, performance, s);
            capturePass->start();

            bool timedOut = false;
            const double playMs = options.realtime ? (double) s.segmentSamples / s.rate * 1000.0 : 0.0;
            if (! pumpUntil ([this] { return capturePass->stopped.load(); }, playMs + 60000.0, timedOut))
                return timedOut ? failed (exitRender, "the transport pass did not finish") : false;

            const int clips = capturePass->clipsAtStop, jobs = capturePass->jobsAtStop;
            result.clipsAtStop = clips;
            result.jobsAtStop = jobs;
            console.line ("transport-stop: after " + seconds ((capturePass->stopWallMs - capturePass->startWallMs) / 1000.0)
                          + ", clips-rendered=" + juce::String (clips) + " jobs-dispatched=" + juce::String (jobs));
            stopReported = true;

            // Generous: the engine may be warming (up to its 3-minute limit
            // with an outside service), then renders take their time.
            const double renderLimitMs = 60000.0 + 10000.0 * (double) s.segmentSamples / s.rate
                                         + (embedded != nullptr ? 0.0 : 240000.0);
            const auto takeOver = [this]
            {
                const auto st = processor->state.load();
                return st == MarluneInstrumentProcessor::Idle || st == MarluneInstrumentProcessor::Error;
            };
            const bool over = pumpUntil (takeOver, renderLimitMs, timedOut);
            const double readyMs = nowMs();
            if (! over && ! timedOut)
                return false;

            // Let the stop blocks finish before anything else touches the processor.
            pumpUntil ([this] { return capturePass->finished.load(); }, 10000.0, timedOut);

            watch();
            console.finishBar();
            result.stopToReadyMs = readyMs - capturePass->stopWallMs;
            result.clips = processor->clipsRendered.load();
            result.jobs = processor->jobsDispatched.load();
            result.regions = processor->getNumRegions();
            result.finalStatus = processor->getStatus();
            result.takeFile = processor->getLastTakeFile();
            if (embedded != nullptr)
                for (const auto& r : embedded->requestsTo ("/v1/renders"))
                    result.renderBodies.push_back (juce::String (r.body));

            if (! over)
                return failed (exitRender, "no take within " + seconds (renderLimitMs / 1000.0, 0)
                                               + " of the transport stop (status: " + result.finalStatus + ")");

            if (processor->state.load() == MarluneInstrumentProcessor::Error)
                return failed (exitRender, "the render failed: " + result.finalStatus);

            if (! result.finalStatus.startsWith ("Take ready"))
                return failed (exitRender, "no take: " + result.finalStatus);

            console.line ("take-ready: " + juce::String (result.stopToReadyMs / 1000.0, 3) + " s after the transport stop");
            console.always ("take-file: " + (result.takeFile.isNotEmpty() ? result.takeFile : juce::String ("(none written)")));
            return true;
        }

        bool playBack (const Performance& performance)
        {
            // The segment again, with the take heard in place of the live
            // sound. Its output does not depend on pacing, so it is not paced.
            TransportPass::Settings s;
            s.segmentSamples = result.segmentSamples;
            s.blockSize = options.blockSize;
            s.rate = options.sampleRate;
            s.paced = false;
            s.record = true;

            processor->playRegions = true;
            auto replay = std::make_unique<TransportPass> (*processor, performance, s);
            replay->start();
            bool timedOut = false;
            if (! pumpUntil ([&replay] { return replay->finished.load(); }, 120000.0 + 10.0 * s.segmentSamples / s.rate * 1000.0, timedOut))
                return timedOut ? failed (exitRender, "the playback pass did not finish") : false;

            if (! writeWav (replay->recorded))
                return false;

            console.always ("output: " + options.outFile.getFullPathName() + " (" + seconds ((double) s.segmentSamples / s.rate)
                            + ", stereo, 24-bit, " + juce::String ((int) s.rate) + " Hz)");

            if (options.streaming && result.clips < result.jobs)
                return failed (exitRender, juce::String (result.jobs - result.clips) + " of " + juce::String (result.jobs)
                                               + " phrases failed to render" + (failureSeen.isNotEmpty() ? " (" + failureSeen + ")" : juce::String()));
            return true;
        }

        bool writeWav (const juce::AudioBuffer<float>& audio)
        {
            const auto& file = options.outFile;
            file.getParentDirectory().createDirectory();
            file.deleteFile();

            auto stream = std::make_unique<juce::FileOutputStream> (file);
            if (! stream->openedOk())
                return failed (exitOutput, "cannot write " + file.getFullPathName());

            juce::WavAudioFormat wav;
            std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (stream.get(), options.sampleRate, 2, 24, {}, 0));
            if (writer == nullptr)
                return failed (exitOutput, "cannot create a WAV writer for " + file.getFullPathName());
            stream.release(); // the writer owns it now

            if (! writer->writeFromAudioSampleBuffer (audio, 0, audio.getNumSamples()))
                return failed (exitOutput, "writing " + file.getFullPathName() + " failed");
            return true;
        }

        //----------------------------------------------------------------------
        const Options& options;
        Console console;
        Result result;

        // Destroyed in reverse: passes, then the processor, then the service it talks to.
        std::unique_ptr<marlune::service::RenderService> embedded;
        juce::String serviceUrl;
        std::unique_ptr<MarluneInstrumentProcessor> processor;
        std::unique_ptr<TransportPass> capturePass;

        juce::CriticalSection verifyLock;
        juce::String verifyUrl, shownVerifyUrl;
        juce::String lastStatus, failureSeen;
        int lastClips = 0;
        bool stopReported = false;
    };

    bool parseNumber (const juce::String& text, double& out)
    {
        const auto t = text.trim();
        if (t.isEmpty() || ! t.containsOnly ("0123456789.eE+-"))
            return false;
        out = t.getDoubleValue();
        return std::isfinite (out);
    }
}

//==============================================================================
juce::String usageText()
{
    return juce::String (
        "usage: marlune-render [options]\n"
        "\n"
        "Plays a MIDI file into the Marlune Orvane processor as a DAW would (real message\n"
        "loop, play head, arm, transport start and stop), waits for the rendered take,\n"
        "plays the segment again with the take in place and writes that to a WAV file.\n"
        "\n"
        "  --midi FILE          standard MIDI file to play (default: the example,\n"
        "                       ") + MARLUNE_EXAMPLE_MIDI + ")\n"
        "  --out FILE           output WAV, stereo 24-bit (default: build/marlune-render-out.wav)\n"
        "  --streaming on|off   on: phrases render while the performance plays (default)\n"
        "                       off: the whole take renders when the transport stops\n"
        "  --instrument SLUG    instrument from the library (default: the library's choice)\n"
        "  --rate HZ            sample rate (default 48000)\n"
        "  --block N            block size in samples (default 512)\n"
        "  --realtime           feed blocks at the audio rate, like a live DAW (default)\n"
        "  --offline            as fast as possible, flagged as an offline render (a freeze);\n"
        "                       a streamed take then ends with \"run Freeze again to commit\"\n"
        "  --service URL        use this render service instead of the local one; sign-in\n"
        "                       prints the verify address and waits for you (up to about\n"
        "                       6 minutes, the plug-in's own limit)\n"
        "  --service-latency-ms MS      local service only: fixed render latency (default 0)\n"
        "  --service-latency-factor F   local service only: latency per second of audio (default 0)\n"
        "  --quiet              print only the sign-in address, errors and the result paths\n"
        "  --help               this text\n"
        "\n"
        "By default the local render service runs in-process on a free loopback port and\n"
        "approves sign-in at once; the real device-code sign-in runs against it, its\n"
        "polls shortened to 50 ms because the answer is immediate. The playback pass\n"
        "that writes the WAV is not paced: its output does not depend on pacing.\n"
        "\n"
        "Exit codes: 0 ok, 1 bad arguments or unknown instrument, 2 MIDI file missing,\n"
        "unreadable or without notes, 3 service unreachable, 4 sign-in failed,\n"
        "5 render failed or no take in time, 6 output not written, 7 interrupted.\n";
}

bool parseArguments (const juce::StringArray& args, Options& o, int& exitCode, juce::String& message)
{
    o.midiFile = juce::File (MARLUNE_EXAMPLE_MIDI);
    o.outFile = juce::File::getCurrentWorkingDirectory().getChildFile ("build/marlune-render-out.wav");

    const auto bad = [&] (const juce::String& why)
    {
        exitCode = exitUsage;
        message = "marlune-render: " + why + "\n(marlune-render --help lists the options)";
        return false;
    };

    for (int i = 0; i < args.size(); ++i)
    {
        const auto arg = args[i];
        const bool hasValue = i + 1 < args.size();
        const auto value = [&]() { return args[++i]; };
        double number = 0.0;

        if (arg == "--help" || arg == "-h")
        {
            exitCode = exitOk;
            message = usageText();
            return false;
        }
        if (arg == "--realtime")      { o.realtime = true; continue; }
        if (arg == "--offline")       { o.realtime = false; continue; }
        if (arg == "--quiet")         { o.quiet = true; continue; }

        const juce::StringArray takesValue { "--midi", "--out", "--streaming", "--instrument", "--rate", "--block",
                                             "--service", "--service-latency-ms", "--service-latency-factor" };
        if (! takesValue.contains (arg))
            return bad ("unknown option " + arg);
        if (! hasValue)
            return bad (arg + " needs a value");

        const auto v = value();
        const auto cwd = juce::File::getCurrentWorkingDirectory();

        if (arg == "--midi")            o.midiFile = cwd.getChildFile (v);
        else if (arg == "--out")        o.outFile = cwd.getChildFile (v);
        else if (arg == "--instrument") o.instrument = v;
        else if (arg == "--streaming")
        {
            if (v != "on" && v != "off")
                return bad ("--streaming takes on or off");
            o.streaming = v == "on";
        }
        else if (arg == "--rate")
        {
            if (! parseNumber (v, number) || number < 8000.0 || number > 384000.0)
                return bad ("--rate needs a sample rate between 8000 and 384000");
            o.sampleRate = number;
        }
        else if (arg == "--block")
        {
            if (! parseNumber (v, number) || number < 16.0 || number > 8192.0 || number != std::floor (number))
                return bad ("--block needs a whole number of samples between 16 and 8192");
            o.blockSize = (int) number;
        }
        else if (arg == "--service")
        {
            if (! (v.startsWith ("http://") || v.startsWith ("https://")))
                return bad ("--service needs an http:// or https:// address");
            o.serviceUrl = v;
        }
        else
        {
            if (! parseNumber (v, number) || number < 0.0)
                return bad (arg + " needs a non-negative number");
            (arg == "--service-latency-ms" ? o.serviceLatencyMs : o.serviceLatencyFactor) = number;
        }
    }
    return true;
}

Result run (const Options& options, std::ostream& out, bool terminal)
{
    Session session (options, out, terminal);
    return session.run();
}
}
