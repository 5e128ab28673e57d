// MIDI capture on the audio thread: when a capture starts and ends, how notes,
// bends and the modulation wheel are recorded against host samples, the
// phrase cut points, and what happens at the lists' capacities.

#include "CoreTestSupport.h"

#include <string>

using namespace marlune::test;

namespace
{
    class CaptureTest : public ProcessorTest
    {
    protected:
        /** Arms with the transport stopped, then starts it at the given sample. */
        void armAndPlayFrom (juce::int64 from)
        {
            processor->arm();
            host->stop();
            host->block (64);
            host->play (from);
        }

        double rate() const { return processor->currentSampleRate; }
    };

    //==============================================================================
    struct StartCase
    {
        juce::int64 playFrom;
        int blockSize;
        int noteOffset;
    };

    class CaptureStart : public CaptureTest, public ::testing::WithParamInterface<StartCase> {};

    TEST_P (CaptureStart, BeginsAtTheFirstPlayingBlockAndTimesFromItsStart)
    {
        const auto c = GetParam();
        processor->vibratoAmount.store (0.25f);
        processor->arm();
        // A bend while stopped: the transport start resets it before the first point.
        host->block (64, { { 0, bend (16383) } });
        EXPECT_EQ (processor->state.load(), Proc::Armed);
        EXPECT_TRUE (processor->capturedNotes.empty());

        host->play (c.playFrom);
        host->block (c.blockSize, { { c.noteOffset, noteOn (62, 90) } });

        EXPECT_EQ (processor->state.load(), Proc::Capturing);
        EXPECT_EQ (processor->captureStartSample, c.playFrom);
        ASSERT_EQ (processor->capturedNotes.size(), 1u);
        const auto& n = processor->capturedNotes[0];
        EXPECT_DOUBLE_EQ (n.start, c.noteOffset / 48000.0);
        EXPECT_EQ (n.startSample, c.playFrom + c.noteOffset);
        EXPECT_EQ (n.pitch, 62);
        EXPECT_EQ (n.velocity, 90);
        EXPECT_TRUE (n.open);
        EXPECT_EQ (n.duration, 0.0);

        ASSERT_EQ (processor->capturedBends.size(), 1u);
        EXPECT_EQ (processor->capturedBends[0].time, 0.0);
        EXPECT_EQ (processor->capturedBends[0].value, 0.0f);
        ASSERT_EQ (processor->capturedMods.size(), 1u);
        EXPECT_EQ (processor->capturedMods[0].time, 0.0);
        EXPECT_EQ (processor->capturedMods[0].value, 0.25f);
        EXPECT_EQ (processor->captureEndSample, c.playFrom + c.blockSize);
    }

    INSTANTIATE_TEST_SUITE_P (Core, CaptureStart, ::testing::Values (
        StartCase { 0, 512, 0 }, StartCase { 0, 512, 511 }, StartCase { 96000, 64, 17 },
        StartCase { 123457, 1000, 999 }, StartCase { (juce::int64) 1 << 33, 256, 128 }));

    TEST_F (CaptureTest, EmptiesThePreviousCaptureWhenTheNextBegins)
    {
        armAndPlayFrom (0);
        host->block (512, { { 0, noteOn (60) }, { 10, bend (0) }, { 20, modWheel (10) } });
        host->stop();
        host->block (512);
        ASSERT_EQ (processor->capturedNotes.size(), 1u);

        armAndPlayFrom (48000);
        host->block (512);
        EXPECT_TRUE (processor->capturedNotes.empty());
        EXPECT_EQ (processor->capturedBends.size(), 1u);
        EXPECT_EQ (processor->capturedMods.size(), 1u);
        EXPECT_EQ (processor->captureStartSample, 48000);
    }

    TEST_F (CaptureTest, ArmingWhilePlayingRecordsNothingUntilTheTransportRestarts)
    {
        host->play (0);
        host->block (512);
        processor->arm();
        for (int i = 0; i < 4; ++i)
            host->block (512, { { 100, noteOn (60) }, { 200, noteOff (60) }, { 300, bend (0) } });

        EXPECT_EQ (processor->state.load(), Proc::Armed);
        EXPECT_TRUE (processor->capturedNotes.empty());
        EXPECT_TRUE (processor->capturedBends.empty());

        host->stop();
        host->block (512);
        EXPECT_EQ (processor->state.load(), Proc::Armed);
        EXPECT_FALSE (processor->captureEnded.load());

        host->play (5000);
        host->block (512, { { 3, noteOn (64) } });
        EXPECT_EQ (processor->state.load(), Proc::Capturing);
        ASSERT_EQ (processor->capturedNotes.size(), 1u);
        EXPECT_EQ (processor->capturedNotes[0].startSample, 5003);
    }

    TEST_F (CaptureTest, NoCaptureStartsWithoutAPlayHeadOrPosition)
    {
        processor->arm();
        host->playHead.available = false;
        host->play (0);
        host->block (512, { { 0, noteOn (60) } });
        EXPECT_EQ (processor->state.load(), Proc::Armed);

        processor->setPlayHead (nullptr);
        host->block (512, { { 0, noteOn (61) } });
        EXPECT_EQ (processor->state.load(), Proc::Armed);
        EXPECT_TRUE (processor->capturedNotes.empty());
        processor->setPlayHead (&host->playHead);
    }

    //==============================================================================
    TEST_F (CaptureTest, OverlappingSamePitchNotesCloseNewestFirst)
    {
        armAndPlayFrom (1000);
        host->block (512, { { 0, noteOn (60, 80) }, { 100, noteOn (60, 100) },
                            { 250, noteOff (60) }, { 400, noteOff (60) } });

        ASSERT_EQ (processor->capturedNotes.size(), 2u);
        const auto& first = processor->capturedNotes[0];
        const auto& second = processor->capturedNotes[1];
        EXPECT_FALSE (first.open);
        EXPECT_FALSE (second.open);
        EXPECT_DOUBLE_EQ (second.duration, 150 / 48000.0); // closed by the first note-off
        EXPECT_DOUBLE_EQ (first.duration, 400 / 48000.0);
        EXPECT_EQ (first.velocity, 80);
        EXPECT_EQ (second.velocity, 100);
    }

    TEST_F (CaptureTest, NoteOffsCloseOnlyTheirPitchAcrossBlocks)
    {
        armAndPlayFrom (0);
        host->block (512, { { 10, noteOn (60) }, { 20, noteOn (64) } });
        host->block (512, { { 5, noteOn (67) }, { 6, juce::MidiMessage::noteOn (1, 64, (juce::uint8) 0) } });
        host->block (512, { { 0, noteOff (99) } }); // matches nothing

        ASSERT_EQ (processor->capturedNotes.size(), 3u);
        EXPECT_TRUE (processor->capturedNotes[0].open);
        EXPECT_FALSE (processor->capturedNotes[1].open);
        EXPECT_DOUBLE_EQ (processor->capturedNotes[1].duration, (512 + 6 - 20) / 48000.0);
        EXPECT_TRUE (processor->capturedNotes[2].open);
    }

    TEST_F (CaptureTest, TransportStopEndsTheCaptureAndLeavesHeldNotesOpen)
    {
        armAndPlayFrom (2048);
        host->block (512, { { 0, noteOn (60) }, { 10, noteOn (72) }, { 300, noteOff (60) } });
        host->block (256);
        EXPECT_FALSE (processor->captureEnded.load());

        host->stop();
        host->block (512);

        EXPECT_EQ (processor->state.load(), Proc::Rendering);
        EXPECT_TRUE (processor->captureEnded.load());
        EXPECT_EQ (processor->captureEndSample, 2048 + 512 + 256);
        ASSERT_EQ (processor->capturedNotes.size(), 2u);
        EXPECT_FALSE (processor->capturedNotes[0].open);
        EXPECT_TRUE (processor->capturedNotes[1].open);
        EXPECT_EQ (processor->capturedNotes[1].duration, 0.0);

        // Later stopped blocks record nothing and hand nothing over again.
        processor->captureEnded.store (false);
        host->block (512, { { 0, noteOff (72) }, { 1, noteOn (40) } });
        EXPECT_FALSE (processor->captureEnded.load());
        EXPECT_EQ (processor->state.load(), Proc::Rendering);
        EXPECT_EQ (processor->capturedNotes.size(), 2u);
        EXPECT_TRUE (processor->capturedNotes[1].open);
    }

    TEST_F (CaptureTest, ResetDuringACaptureStopsRecordingWithoutHandOff)
    {
        armAndPlayFrom (0);
        host->block (512, { { 0, noteOn (60) } });
        processor->resetCapture();
        host->block (512, { { 0, noteOn (62) } });
        host->stop();
        host->block (512);

        EXPECT_EQ (processor->state.load(), Proc::Idle);
        EXPECT_FALSE (processor->captureEnded.load());
        EXPECT_EQ (processor->capturedNotes.size(), 1u);
        EXPECT_EQ (processor->getStatus(), "Idle - arm, then play a segment to capture.");
    }

    TEST_F (CaptureTest, PositionJumpsRetimeLaterEventsWithoutEndingTheCapture)
    {
        armAndPlayFrom (48000);
        host->block (512, { { 0, noteOn (60) } });
        host->play (0); // the host loops back before the capture's start
        host->block (512, { { 0, noteOn (62) } });

        EXPECT_EQ (processor->state.load(), Proc::Capturing);
        ASSERT_EQ (processor->capturedNotes.size(), 2u);
        EXPECT_DOUBLE_EQ (processor->capturedNotes[1].start, -1.0);
        EXPECT_EQ (processor->captureEndSample, 512);
    }

    TEST_F (CaptureTest, HostWithoutSamplePositionTimesEventsWithinEachBlock)
    {
        host->playHead.hasSamplePosition = false;
        armAndPlayFrom (0);
        host->block (512, { { 100, noteOn (60) } });
        host->block (512, { { 200, noteOn (61) } });

        EXPECT_EQ (processor->captureStartSample, 0);
        ASSERT_EQ (processor->capturedNotes.size(), 2u);
        EXPECT_EQ (processor->capturedNotes[0].startSample, 100);
        EXPECT_EQ (processor->capturedNotes[1].startSample, 200);
    }

    TEST_F (CaptureTest, EveryMidiChannelCounts)
    {
        armAndPlayFrom (0);
        host->block (512, { { 0, juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100) },
                            { 1, juce::MidiMessage::noteOn (10, 61, (juce::uint8) 100) },
                            { 2, juce::MidiMessage::noteOn (16, 62, (juce::uint8) 100) },
                            { 3, juce::MidiMessage::pitchWheel (16, 0) },
                            { 4, juce::MidiMessage::controllerEvent (9, 1, 127) },
                            { 5, juce::MidiMessage::noteOff (16, 60) } });
        EXPECT_EQ (processor->capturedNotes.size(), 3u);
        EXPECT_FALSE (processor->capturedNotes[0].open);
        EXPECT_EQ (processor->capturedBends.size(), 2u);
        EXPECT_EQ (processor->capturedMods.size(), 2u);
    }

    TEST_F (CaptureTest, OtherMessagesAreIgnored)
    {
        armAndPlayFrom (0);
        const float vibrato = processor->vibratoAmount.load();
        host->block (512, { { 0, juce::MidiMessage::controllerEvent (1, 7, 100) },
                            { 1, juce::MidiMessage::controllerEvent (1, 64, 127) },
                            { 2, juce::MidiMessage::aftertouchChange (1, 60, 50) },
                            { 3, juce::MidiMessage::channelPressureChange (1, 80) },
                            { 4, juce::MidiMessage::programChange (1, 3) } });
        EXPECT_TRUE (processor->capturedNotes.empty());
        EXPECT_EQ (processor->capturedBends.size(), 1u);
        EXPECT_EQ (processor->capturedMods.size(), 1u);
        EXPECT_EQ (processor->vibratoAmount.load(), vibrato);
    }

    //==============================================================================
    struct LateEventCase
    {
        int blockSize;
        int offset;
        int recordedAt;
    };

    class EventOffsets : public CaptureTest, public ::testing::WithParamInterface<LateEventCase> {};

    TEST_P (EventOffsets, AreClampedToTheBlock)
    {
        const auto c = GetParam();
        armAndPlayFrom (10000);
        host->block (64); // the capture starts; the next block is timed from 10064
        host->block (c.blockSize, { { c.offset, noteOn (60) }, { c.offset, bend (0) } });

        ASSERT_EQ (processor->capturedNotes.size(), 1u);
        EXPECT_EQ (processor->capturedNotes[0].startSample, 10064 + c.recordedAt);
        EXPECT_DOUBLE_EQ (processor->capturedNotes[0].start, (64 + c.recordedAt) / 48000.0);
        EXPECT_DOUBLE_EQ (processor->capturedBends.back().time, (64 + c.recordedAt) / 48000.0);
    }

    INSTANTIATE_TEST_SUITE_P (Core, EventOffsets, ::testing::Values (
        LateEventCase { 512, 511, 511 }, LateEventCase { 512, 512, 512 }, LateEventCase { 512, 700, 512 },
        LateEventCase { 64, 100000, 64 }, LateEventCase { 256, -5, 0 }));

    //==============================================================================
    struct BendCase
    {
        int value14;
        float range;
        float semitones;
    };

    class PitchBend : public CaptureTest, public ::testing::WithParamInterface<BendCase> {};

    TEST_P (PitchBend, IsRecordedInSemitonesOfTheBendRange)
    {
        const auto c = GetParam();
        processor->bendRange.store (c.range);
        armAndPlayFrom (0);
        host->block (512, { { 240, bend (c.value14) } });

        EXPECT_FLOAT_EQ (processor->targetBend, c.semitones);
        ASSERT_EQ (processor->capturedBends.size(), 2u);
        EXPECT_FLOAT_EQ (processor->capturedBends[1].value, c.semitones);
        EXPECT_DOUBLE_EQ (processor->capturedBends[1].time, 240 / 48000.0);
    }

    INSTANTIATE_TEST_SUITE_P (Core, PitchBend, ::testing::Values (
        BendCase { 0, 2.0f, -2.0f }, BendCase { 0x2000, 2.0f, 0.0f }, BendCase { 16383, 2.0f, 2.0f * 8191.0f / 8192.0f },
        BendCase { 4096, 2.0f, -1.0f }, BendCase { 0, 12.0f, -12.0f }, BendCase { 16383, 0.5f, 0.5f * 8191.0f / 8192.0f }));

    TEST_F (CaptureTest, BendOutsideACaptureMovesThePitchButRecordsNothing)
    {
        host->block (512, { { 0, bend (0) } });
        EXPECT_FLOAT_EQ (processor->targetBend, -2.0f);
        EXPECT_TRUE (processor->capturedBends.empty());
    }

    //==============================================================================
    struct ModWheelCase
    {
        const char* name;
        int state;
        bool transportPlaying;
        bool recorded;
    };

    class ModWheel : public CaptureTest, public ::testing::WithParamInterface<ModWheelCase> {};

    TEST_P (ModWheel, SetsVibratoInEveryStateAndRecordsOnlyWhileCapturing)
    {
        const auto c = GetParam();
        if (c.state == Proc::Capturing || c.state == Proc::Rendering)
        {
            armAndPlayFrom (0);
            host->block (512);
            if (c.state == Proc::Rendering)
            {
                host->stop();
                host->block (512);
            }
        }
        else if (c.state == Proc::Armed)
        {
            // Armed while playing stays armed: the transport was already running.
            if (c.transportPlaying)
            {
                host->play (4096);
                host->block (64);
            }
            processor->arm();
        }
        else
        {
            processor->state.store (c.state);
            if (c.transportPlaying)
                host->play (4096);
            else
                host->stop();
            host->block (64); // settle the transport first
        }
        if (c.state == Proc::Rendering)
            host->block (64);
        ASSERT_EQ (processor->state.load(), c.state);

        const auto modsBefore = processor->capturedMods.size();
        host->block (512, { { 32, modWheel (64) } });
        EXPECT_FLOAT_EQ (processor->vibratoAmount.load(), 64.0f / 127.0f);
        EXPECT_EQ (processor->capturedMods.size(), modsBefore + (c.recorded ? 1u : 0u));
        if (c.recorded)
        {
            EXPECT_FLOAT_EQ (processor->capturedMods.back().value, 64.0f / 127.0f);
        }

        host->block (512, { { 0, modWheel (127) } });
        EXPECT_EQ (processor->vibratoAmount.load(), 1.0f);
        host->block (512, { { 0, modWheel (0) } });
        EXPECT_EQ (processor->vibratoAmount.load(), 0.0f);
    }

    INSTANTIATE_TEST_SUITE_P (Core, ModWheel, ::testing::Values (
        ModWheelCase { "IdleStopped",   Proc::Idle,      false, false },
        ModWheelCase { "IdlePlaying",   Proc::Idle,      true,  false },
        ModWheelCase { "ArmedStopped",  Proc::Armed,     false, false },
        ModWheelCase { "ArmedPlaying",  Proc::Armed,     true,  false },
        ModWheelCase { "Capturing",     Proc::Capturing, true,  true },
        ModWheelCase { "Rendering",     Proc::Rendering, false, false },
        ModWheelCase { "Error",         Proc::Error,     true,  false }), ByName());;

    //==============================================================================
    struct OfflineCase
    {
        const char* name;
        bool beforeArming, firstBlock, laterBlock, stopBlock;
        bool marked;
    };

    class OfflineMark : public CaptureTest, public ::testing::WithParamInterface<OfflineCase> {};

    TEST_P (OfflineMark, IsSetByAnyOfflineCapturingBlock)
    {
        const auto c = GetParam();
        host->setOffline (c.beforeArming);
        host->block (512);
        processor->arm();
        host->setOffline (false);
        host->block (512);
        host->play (0);
        host->setOffline (c.firstBlock);
        host->block (512);
        host->setOffline (c.laterBlock);
        host->block (512);
        host->setOffline (false);
        host->block (512);
        host->stop();
        host->setOffline (c.stopBlock);
        host->block (512);

        EXPECT_EQ (processor->state.load(), Proc::Rendering);
        EXPECT_EQ (processor->capturedOffline.load(), c.marked);
    }

    INSTANTIATE_TEST_SUITE_P (Core, OfflineMark, ::testing::Values (
        OfflineCase { "Never",          false, false, false, false, false },
        OfflineCase { "FirstBlock",     false, true,  false, false, true },
        OfflineCase { "LaterBlock",     false, false, true,  false, true },
        OfflineCase { "OnlyBeforeArm",  true,  false, false, false, false },
        OfflineCase { "OnlyStopBlock",  false, false, false, true,  false }), ByName());;

    TEST_F (CaptureTest, ArmingClearsTheOfflineMarkOfTheLastCapture)
    {
        host->setOffline (true);
        armAndPlayFrom (0);
        host->block (512);
        host->stop();
        host->block (512);
        ASSERT_TRUE (processor->capturedOffline.load());

        host->setOffline (false);
        armAndPlayFrom (0);
        host->block (512);
        EXPECT_FALSE (processor->capturedOffline.load());
    }

    //==============================================================================
    struct CutScenario
    {
        const char* name;
        double rate;
        bool streaming;
        std::vector<TimedEvent> events;      // samples from the capture start
        std::vector<juce::int64> cutPoints;  // likewise
    };

    class CutPoints : public CaptureTest, public ::testing::WithParamInterface<CutScenario> {};

    TEST_P (CutPoints, MarkTheFirstNoteAfterAQuarterSecondOfSilence)
    {
        const auto& c = GetParam();
        host->prepare (c.rate);
        processor->streamWhileRecording.store (c.streaming);
        const juce::int64 origin = 777;
        armAndPlayFrom (origin);
        runTimeline (*host, c.events, c.events.back().sample + 1000, 100);

        std::vector<juce::int64> expected;
        for (auto s : c.cutPoints)
            expected.push_back (origin + s);
        const juce::SpinLock::ScopedLockType sl (processor->captureLock);
        EXPECT_EQ (processor->cutPoints, expected);
    }

    std::vector<TimedEvent> phrase (juce::int64 on, juce::int64 off, int pitch = 60)
    {
        return { { on, noteOn (pitch) }, { off, noteOff (pitch) } };
    }

    std::vector<TimedEvent> join (std::initializer_list<std::vector<TimedEvent>> parts)
    {
        std::vector<TimedEvent> all;
        for (const auto& p : parts)
            all.insert (all.end(), p.begin(), p.end());
        return all;
    }

    INSTANTIATE_TEST_SUITE_P (Core, CutPoints, ::testing::Values (
        CutScenario { "FirstNoteNeverCuts", 48000.0, true, phrase (20000, 21000), {} },
        CutScenario { "GapExactlyAQuarterSecond", 48000.0, true,
                      join ({ phrase (100, 1000), phrase (13000, 14000) }), { 13000 } },
        CutScenario { "GapOneSampleShort", 48000.0, true,
                      join ({ phrase (100, 1000), phrase (12999, 14000) }), {} },
        CutScenario { "ThresholdAt44k1", 44100.0, true,
                      join ({ phrase (0, 500), phrase (11525, 12000), phrase (23024, 23100) }), { 11525 } },
        CutScenario { "ThresholdTruncatedAt22050", 22050.0, true,
                      join ({ phrase (0, 500), phrase (6012, 6100), phrase (11611, 11700) }), { 6012 } },
        CutScenario { "EveryGapCuts", 48000.0, true,
                      join ({ phrase (0, 10), phrase (20000, 20010), phrase (40000, 40010, 62), phrase (60000, 60010) }),
                      { 20000, 40000, 60000 } },
        CutScenario { "LegatoNeverCuts", 48000.0, true,
                      join ({ phrase (0, 30000, 60), phrase (20000, 60000, 62), phrase (50000, 90000, 64),
                              phrase (89999, 120000, 65) }), {} },
        CutScenario { "SilenceCountsFromTheLastRelease", 48000.0, true,
                      join ({ phrase (0, 30000, 60), phrase (10000, 20000, 62), phrase (41999, 42000, 64),
                              phrase (54000, 55000, 65) }), { 54000 } },
        CutScenario { "UnmatchedNoteOffChangesNothing", 48000.0, true,
                      { { 0, noteOn (60) }, { 1000, noteOff (60) }, { 5000, noteOff (70) }, { 13000, noteOn (61) },
                        { 13100, noteOff (61) } }, { 13000 } },
        CutScenario { "StreamingOffMarksNothing", 48000.0, false,
                      join ({ phrase (0, 10), phrase (20000, 20010), phrase (40000, 40010) }), {} }), ByName());;

    TEST_F (CaptureTest, TheCutPointLimitSkipsFurtherCutsAndThePhraseGrows)
    {
        host->prepare (8000.0); // threshold 2000 samples keeps the run short
        armAndPlayFrom (0);
        std::vector<TimedEvent> events;
        const int phrases = Proc::cutPointCapacity + 2;
        for (int i = 0; i < phrases; ++i)
        {
            events.push_back ({ i * 2100LL, noteOn (60) });
            events.push_back ({ i * 2100LL + 50, noteOff (60) });
        }
        runTimeline (*host, events, phrases * 2100LL, 2100);

        ASSERT_EQ (processor->capturedNotes.size(), (size_t) phrases);
        const juce::SpinLock::ScopedLockType sl (processor->captureLock);
        ASSERT_EQ (processor->cutPoints.size(), (size_t) Proc::cutPointCapacity);
        EXPECT_EQ (processor->cutPoints.back(), (phrases - 2) * 2100LL);
        EXPECT_EQ (processor->phraseNoteCount, 2); // the last phrase took the skipped cut's note
    }

    //==============================================================================
    struct CapacityCase
    {
        const char* name;
        int capacity;
        int kind; // 0 notes, 1 bends, 2 modulation
    };

    float bendToSemitonesForTest (int value14, float range = 2.0f)
    {
        return (float) (value14 - 8192) / 8192.0f * range;
    }

    class ListCapacity : public CaptureTest, public ::testing::WithParamInterface<CapacityCase> {};

    TEST_P (ListCapacity, DropsEventsPastTheReservedSpace)
    {
        const auto c = GetParam();
        armAndPlayFrom (0);
        const int sent = c.capacity + 10;
        int done = 0;
        while (done < sent)
        {
            std::vector<MidiAt> events;
            for (int i = 0; i < 64 && done < sent; ++i, ++done)
            {
                if (c.kind == 0)
                {
                    events.push_back ({ i, noteOn (40 + done % 40) });
                    events.push_back ({ i, noteOff (40 + done % 40) });
                }
                else if (c.kind == 1)
                    events.push_back ({ i, bend (done % 16384) });
                else
                    events.push_back ({ i, modWheel (done % 128) });
            }
            host->block (64, events);
        }

        const auto* notesData = processor->capturedNotes.data();
        switch (c.kind)
        {
            case 0: EXPECT_EQ (processor->capturedNotes.size(), (size_t) c.capacity); break;
            case 1: EXPECT_EQ (processor->capturedBends.size(), (size_t) c.capacity); break;
            default: EXPECT_EQ (processor->capturedMods.size(), (size_t) c.capacity); break;
        }
        EXPECT_EQ (notesData, processor->capturedNotes.data()); // never reallocated

        // Dropped events still drive the synthesiser and the settings.
        if (c.kind == 1)
        {
            EXPECT_FLOAT_EQ (processor->targetBend, bendToSemitonesForTest ((sent - 1) % 16384));
        }
        if (c.kind == 2)
        {
            EXPECT_FLOAT_EQ (processor->vibratoAmount.load(), (float) ((sent - 1) % 128) / 127.0f);
        }
    }

    INSTANTIATE_TEST_SUITE_P (Core, ListCapacity, ::testing::Values (
        CapacityCase { "Notes", Proc::noteCapacity, 0 },
        CapacityCase { "Bends", Proc::bendCapacity, 1 },
        CapacityCase { "Modulation", Proc::modCapacity, 2 }), ByName());;

    TEST_F (CaptureTest, The4097thNoteSoundsButIsNotRecordedNorCuts)
    {
        armAndPlayFrom (0);
        for (int i = 0; i < Proc::noteCapacity; ++i)
            host->block (64, { { 0, noteOn (50) }, { 32, noteOff (50) } });
        ASSERT_EQ (processor->capturedNotes.size(), (size_t) Proc::noteCapacity);

        // A quarter second of silence, so that the next note would cut.
        const auto quiet = host->run (24000, 512);
        EXPECT_EQ (peak (quiet, 12000, quiet.size()), 0.0f);

        const auto cutsBefore = processor->cutPoints.size();
        const auto& b = host->block (512, { { 0, noteOn (69, 127) } });
        float loudest = 0.0f;
        for (int i = 0; i < 512; ++i)
            loudest = juce::jmax (loudest, std::abs (b.getSample (0, i)));
        EXPECT_GT (loudest, 0.05f);

        EXPECT_EQ (processor->capturedNotes.size(), (size_t) Proc::noteCapacity);
        EXPECT_EQ (processor->cutPoints.size(), cutsBefore);
        host->block (64, { { 0, noteOff (69) } }); // finds no open note of its own
        EXPECT_EQ (processor->capturedNotes.back().pitch, 50);
        EXPECT_FALSE (processor->capturedNotes.back().open);
    }
}
