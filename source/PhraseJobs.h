#pragma once

#include "InstrumentProcessor.h"

#include <optional>

/** Pure pieces of the render pipeline: turning captured events into what a
    worker posts. The processor calls them under the locks they need. */
namespace marlune::jobs
{
    using Processor = MarluneInstrumentProcessor;

    /** Seconds of audio rendered after the last note of a phrase. */
    inline constexpr double phraseTailSeconds = 1.0;

    /** Shortest length of any render, in seconds. */
    inline constexpr double minimumRenderSeconds = 0.05;

    /** Shortest length given to a note still held when its phrase or take ends. */
    inline constexpr double minimumOpenNoteSeconds = 0.001;

    /** Makes the job for the span [a, b) of host samples, taking notes from
        nextNoteIndex on (which advances past the notes taken). Returns nothing
        when the span holds no note. */
    std::optional<Processor::RenderJob> makePhraseJob (const std::vector<Processor::NoteEv>& notes,
                                                       const std::vector<Processor::BendEv>& bends,
                                                       const std::vector<Processor::BendEv>& mods,
                                                       juce::int32& nextNoteIndex,
                                                       juce::int64 a, juce::int64 b,
                                                       juce::int64 captureStart, double sampleRate);

    /** The whole-take snapshot of a finished capture; its notes are empty when
        nothing of positive length was played. */
    Processor::TakeSnapshot makeTakeSnapshot (const std::vector<Processor::NoteEv>& notes,
                                              const std::vector<Processor::BendEv>& bends,
                                              const std::vector<Processor::BendEv>& mods,
                                              juce::int64 captureStart, juce::int64 captureEnd,
                                              double sampleRate);

    /** Averages every channel into one (a buffer with no channels counts as one,
        silent); non-finite samples become 0. */
    juce::AudioBuffer<float> mixToMono (const juce::AudioBuffer<float>& audio);

    /** True for the statuses that mean the engine is still starting. */
    inline bool isWarmingStatus (int status) noexcept { return status == 0 || status == 502 || status == 503; }

    /** "n/m clips rendered..." */
    juce::String progressText (int clipsRendered, int jobsDispatched);
}
