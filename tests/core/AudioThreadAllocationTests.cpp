// processBlock must never touch the heap, on any of its paths: the counter
// hooks every allocator entry point on the calling thread (the test thread
// plays the host's audio thread here). Each scenario also checks that it
// really took the path it names, so that a proof cannot pass vacuously.

#include "AllocationCounter.h"
#include "CoreTestSupport.h"

#include <optional>
#include <string>

using namespace marlune::test;

namespace
{
    struct Scenario
    {
        const char* name;
        double rate;
        std::function<void (Proc&, HostDriver&)> setup;            // may allocate
        std::function<std::vector<MidiAt> (HostDriver&, int)> next; // per counted block; may allocate
        int blocks;
        int blockSize;
        std::function<void (Proc&)> verify;
        bool holdRegionsLock = false;
    };

    void fillRegions (Proc& p, int count, int length)
    {
        for (int i = 0; i < count; ++i)
            publishRegion (p, i * 100, constantSignal (length, 0.01f * (float) (i + 1)));
    }

    void startCapture (Proc& p, HostDriver& host)
    {
        p.arm();
        host.stop();
        host.block (64);
        host.play (0);
        host.block (64);
    }

    /** Fills every capture list to its reserved size, at 4 kHz where a
        1024-sample block is a quarter-second gap. */
    void captureToCapacity (Proc& p, HostDriver& host)
    {
        startCapture (p, host);
        for (int i = 0; i <= Proc::cutPointCapacity + 4; ++i)
            host.block (1024, { { 0, noteOn (60) }, { 1, noteOff (60) } });
        while (p.capturedNotes.size() < (size_t) Proc::noteCapacity)
            host.block (64, { { 0, noteOn (61) }, { 0, noteOff (61) } });
        while (p.capturedBends.size() < (size_t) Proc::bendCapacity || p.capturedMods.size() < (size_t) Proc::modCapacity)
        {
            std::vector<MidiAt> events;
            for (int i = 0; i < 64; ++i)
            {
                events.push_back ({ i, bend (i * 200) });
                events.push_back ({ i, modWheel (i) });
            }
            host.block (64, events);
        }
    }

    std::vector<MidiAt> densePerformance (HostDriver&, int index)
    {
        std::vector<MidiAt> e;
        e.push_back ({ 0, noteOn (48 + index % 24, 1 + index % 127) });
        for (int i = 0; i < 8; ++i)
            e.push_back ({ 8 + i * 8, bend ((index * 977 + i * 1311) % 16384) });
        e.push_back ({ 70, modWheel (index % 128) });
        e.push_back ({ 100, noteOff (48 + index % 24) });
        return e;
    }

    const Scenario scenarios[] = {
        { "SynthIdleWithEvents", 48000.0, [] (Proc& p, HostDriver&) { p.vibratoAmount.store (0.5f); },
          densePerformance, 64, 512, [] (Proc& p) { EXPECT_EQ (p.state.load(), Proc::Idle); } },

        { "CaptureStartBlock", 48000.0,
          [] (Proc& p, HostDriver& host) { p.arm(); host.block (64); host.play (48000); },
          densePerformance, 1, 512,
          [] (Proc& p) { EXPECT_EQ (p.state.load(), Proc::Capturing); EXPECT_EQ (p.capturedNotes.size(), 1u); } },

        { "CapturingDense", 48000.0, startCapture, densePerformance, 300, 512,
          [] (Proc& p) { EXPECT_EQ (p.capturedNotes.size(), 300u); EXPECT_GT (p.capturedBends.size(), 2000u); } },

        { "CapturingCutPointsEveryBlock", 4000.0, startCapture,
          // The first note never cuts; each later one follows a quarter second of silence.
          [] (HostDriver&, int) { return std::vector<MidiAt> { { 0, noteOn (60) }, { 1, noteOff (60) } }; }, 64, 1024,
          [] (Proc& p) { EXPECT_EQ (p.cutPoints.size(), 63u); } },

        { "CapturingAtFullCapacity", 4000.0, captureToCapacity,
          [] (HostDriver&, int index) {
              std::vector<MidiAt> e { { 0, noteOn (70) } }; // after a quarter second: would cut
              for (int i = 0; i < 32; ++i)
              {
                  e.push_back ({ 2 + i, bend (i * 500) });
                  e.push_back ({ 2 + i, modWheel (i + index) });
              }
              e.push_back ({ 40, noteOff (70) });
              e.push_back ({ 41, noteOff (60) });
              return e; },
          32, 1024,
          [] (Proc& p) {
              EXPECT_EQ (p.state.load(), Proc::Capturing);
              EXPECT_EQ (p.capturedNotes.size(), (size_t) Proc::noteCapacity);
              EXPECT_EQ (p.capturedBends.size(), (size_t) Proc::bendCapacity);
              EXPECT_EQ (p.capturedMods.size(), (size_t) Proc::modCapacity);
              EXPECT_EQ (p.cutPoints.size(), (size_t) Proc::cutPointCapacity); } },

        { "CaptureEndBlock", 48000.0,
          [] (Proc& p, HostDriver& host) { startCapture (p, host); host.block (512, { { 0, noteOn (60) } }); host.stop(); },
          densePerformance, 1, 512,
          [] (Proc& p) { EXPECT_EQ (p.state.load(), Proc::Rendering); EXPECT_TRUE (p.captureEnded.load()); } },

        { "OfflineCapture", 48000.0,
          [] (Proc& p, HostDriver& host) { host.setOffline (true); startCapture (p, host); },
          densePerformance, 16, 512, [] (Proc& p) { EXPECT_TRUE (p.capturedOffline.load()); } },

        { "Playing64Regions", 48000.0,
          [] (Proc& p, HostDriver& host) { fillRegions (p, Proc::regionCapacity, 48000); host.play (6400); },
          densePerformance, 32, 512,
          [] (Proc& p) { EXPECT_EQ (p.getNumRegions(), 64); EXPECT_TRUE (p.tailValid); } },

        { "StopFade", 48000.0,
          [] (Proc& p, HostDriver& host) {
              fillRegions (p, Proc::regionCapacity, 48000);
              host.play (6400);
              host.run (4096);
              host.stop(); },
          [] (HostDriver&, int) { return std::vector<MidiAt>(); }, 8, 64,
          [] (Proc& p) { EXPECT_FALSE (p.tailFading); EXPECT_EQ (p.tailPosition, p.tailLength); } },

        { "RegionsLockHeldElsewhere", 48000.0,
          [] (Proc& p, HostDriver& host) { fillRegions (p, 4, 48000); host.play (0); host.block (512); },
          densePerformance, 8, 512, [] (Proc& p) { EXPECT_FALSE (p.tailValid); }, true },

        { "NoPlayHead", 48000.0,
          [] (Proc& p, HostDriver&) { p.arm(); p.setPlayHead (nullptr); },
          densePerformance, 16, 512, [] (Proc& p) { EXPECT_EQ (p.state.load(), Proc::Armed); } },

        { "EnvelopeSettingsChangeEveryBlock", 48000.0, [] (Proc&, HostDriver&) {},
          [] (HostDriver& host, int index) {
              host.processor.attack.store (0.001f * (float) (index + 1));
              host.processor.monitorRelease.store (index % 2 == 0 ? -1.0f : 0.01f);
              return densePerformance (host, index); },
          16, 512, [] (Proc& p) { EXPECT_FLOAT_EQ (p.envelopeSettingsSeen[0], 0.016f); } },
    };

    class ProcessBlockHeap : public ::testing::TestWithParam<Scenario> {};

    TEST_P (ProcessBlockHeap, StaysUntouched)
    {
        const auto& c = GetParam();
        MarluneInstrumentProcessor p;
        HostDriver host (p);
        host.prepare (c.rate);
        c.setup (p, host);

        std::optional<juce::SpinLock::ScopedLockType> lock;
        if (c.holdRegionsLock)
            lock.emplace (p.regionsLock);

        HeapActivity total;
        for (int i = 0; i < c.blocks; ++i)
        {
            host.queueMidi (c.next (host, i));
            ScopedHeapCounter counter;
            host.block (c.blockSize);
            const auto a = counter.activity();
            total.allocations += a.allocations;
            total.frees += a.frees;
        }
        lock.reset();

        EXPECT_EQ (total.allocations, 0) << c.name;
        EXPECT_EQ (total.frees, 0) << c.name;

        {
            const juce::SpinLock::ScopedLockType sl (p.captureLock);
            c.verify (p);
        }
        p.setPlayHead (&host.playHead);
    }

    INSTANTIATE_TEST_SUITE_P (Core, ProcessBlockHeap, ::testing::ValuesIn (scenarios), ByName());;
}
