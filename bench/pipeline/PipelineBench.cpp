// Prints how long the plug-in takes around the render service's own work:
//  - constructing and destroying a processor (hosts do this just to scan);
//  - one small render through DdspClient on loopback, beside the service's time;
//  - a 30 s performance of 10 phrases: from the transport stop to "Take ready",
//    streaming and whole take, with a service latency of 200 ms + 0.3 x audio.

#include "InstrumentProcessor.h"
#include "DdspClient.h"
#include "MarluneService.h"
#include "ManualPlayHead.h"

#include <juce_events/juce_events.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{
    using Clock = juce::Time;
    double nowMs() { return Clock::getMillisecondCounterHiRes(); }

    double median (std::vector<double> v)
    {
        std::sort (v.begin(), v.end());
        return v[v.size() / 2];
    }

    void benchConstruction()
    {
        std::vector<double> create, destroy;
        for (int i = 0; i < 20; ++i)
        {
            auto t0 = nowMs();
            auto p = std::make_unique<MarluneInstrumentProcessor>();
            auto t1 = nowMs();
            p.reset();
            auto t2 = nowMs();
            create.push_back (t1 - t0);
            destroy.push_back (t2 - t1);
        }
        std::printf ("processor construction      median %8.3f ms   (no request is made)\n", median (create));
        std::printf ("processor destruction       median %8.3f ms   (idle workers woken, none waited out)\n", median (destroy));
    }

    juce::String smallBody()
    {
        return R"({"model":"tf48k","notes":[{"start":0.0,"duration":0.2,"pitch":69,"velocity":100}],"bends":[],"vibrato_speed":5.0,"vibrato_depth":[{"time":0.0,"depth":0.0}],"vibrato_max_semis":0.5,"reverb_tail_ms":50.0,"adsr":{"attack":0.007,"decay":5.0,"sustain":0.01,"release":0.005,"decay_curve":4.0},"loudness":{"gain_db":10.0,"vel_curve":1.0},"mode":"ddsp","total_duration":0.25,"out_sr":48000,"normalize_loudness":true,"timbre_dynamics":0.75,"noise_db":-80.0,"loudness_floor_db":-80.0,"gate_db":-80.0,"dry":true})";
    }

    void benchRoundTrip()
    {
        marlune::service::RenderService service;
        service.start();
        const auto token = juce::String (service.issueTokens().accessToken);
        const juce::String base (service.baseUrl());

        std::vector<double> times;
        for (int i = 0; i < 50; ++i)
        {
            juce::MemoryBlock reply;
            juce::String error;
            int status = 0;
            const auto t0 = nowMs();
            DdspClient::postCloudRender (base, token, smallBody(), reply, status, error);
            juce::AudioBuffer<float> audio;
            double rate = 48000;
            DdspClient::wavToBuffer (reply, audio, rate);
            times.push_back (nowMs() - t0);
        }
        std::printf ("small render round trip     median %8.3f ms   (post, 0.3 s WAV back, decode; service work included)\n", median (times));
    }

    struct Outcome { double stopToReadyMs; int clips; juce::String status; };

    Outcome renderPerformance (bool streaming, marlune::service::RenderService& service)
    {
        MarluneInstrumentProcessor processor;
        marlune::test::TestPlayHead head;
        processor.setPlayHead (&head);
        processor.setBackendUrl (service.baseUrl());
        {
            const auto pair = service.issueTokens();
            const juce::ScopedLock al (processor.accountLock);
            processor.accessToken = pair.accessToken;
            processor.refreshToken = pair.refreshToken;
        }
        processor.streamWhileRecording = streaming;

        const double rate = 48000.0;
        const int block = 512;
        processor.setRateAndBufferSizeDetails (rate, block);
        processor.prepareToPlay (rate, block);
        processor.arm();

        // 10 phrases of 2.5 s (five 0.4 s notes) each followed by 0.5 s of rest: 30 s.
        std::vector<std::pair<juce::int64, juce::MidiMessage>> events;
        for (int phrase = 0; phrase < 10; ++phrase)
            for (int n = 0; n < 5; ++n)
            {
                const double on = phrase * 3.0 + n * 0.5;
                const int pitch = 55 + (phrase * 3 + n) % 17;
                events.push_back ({ (juce::int64) (on * rate), juce::MidiMessage::noteOn (1, pitch, (juce::uint8) 100) });
                events.push_back ({ (juce::int64) ((on + 0.4) * rate), juce::MidiMessage::noteOff (1, pitch) });
            }

        juce::AudioBuffer<float> buffer (2, block);
        juce::MidiBuffer midi;
        head.playing = true;
        const auto total = (juce::int64) (30.0 * rate);
        size_t next = 0;
        const auto start = nowMs();

        // Paced like a live host: every block waits for its moment.
        for (juce::int64 pos = 0; pos < total; pos += block)
        {
            midi.clear();
            while (next < events.size() && events[next].first < pos + block)
            {
                midi.addEvent (events[next].second, (int) (events[next].first - pos));
                ++next;
            }
            head.samplePosition = pos;
            processor.processBlock (buffer, midi);

            const double due = start + 1000.0 * (double) (pos + block) / rate;
            while (nowMs() < due)
                juce::MessageManager::getInstance()->runDispatchLoopUntil (1);
        }

        head.playing = false;
        processor.processBlock (buffer, midi);
        const auto stopped = nowMs();

        while (processor.state.load() == MarluneInstrumentProcessor::Rendering && nowMs() - stopped < 120000.0)
            juce::MessageManager::getInstance()->runDispatchLoopUntil (2);

        Outcome o { nowMs() - stopped, processor.getNumRegions(), processor.getStatus() };
        processor.setPlayHead (nullptr);
        return o;
    }

    void benchStopToReady()
    {
        marlune::service::RenderService::Options options;
        options.renderLatencyMs = 200.0;
        options.renderLatencyFactor = 0.3;
        marlune::service::RenderService service (options);
        service.start();

        // The service's own time for the last phrase (3 s: its notes, then up to
        // the capture end) and for the whole 30 s take, each with its 0.25 s reverb tail.
        const double phraseServiceMs = 200.0 + 0.3 * 1000.0 * (3.0 + 0.25);
        const double takeServiceMs = 200.0 + 0.3 * 1000.0 * (30.0 + 0.25);

        for (bool streaming : { true, false })
        {
            const auto o = renderPerformance (streaming, service);
            const double serviceMs = streaming ? phraseServiceMs : takeServiceMs;
            std::printf ("%-12s stop -> ready %8.1f ms   service work for the last render ~%7.1f ms   plug-in overhead %7.1f ms   (%d regions; \"%s\")\n",
                         streaming ? "streaming" : "whole take", o.stopToReadyMs, serviceMs, o.stopToReadyMs - serviceMs,
                         o.clips, o.status.toRawUTF8());
        }
    }
}

int main()
{
    juce::ScopedJuceInitialiser_GUI juce;
    benchConstruction();
    benchRoundTrip();
    benchStopToReady();
    return 0;
}
