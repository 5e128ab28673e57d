// Everything processBlock does on the audio thread besides the block frame:
// capture and cut points, the monitoring synthesiser, and in-place playback.
// Nothing here allocates or waits: lists only grow into reserved capacity and
// regionsLock is only ever tried.

#include "InstrumentProcessor.h"
#include "PlaybackMaths.h"

#include <cmath>

using namespace marlune::playback;

namespace
{
    /** The mix at gain 1, written out as the general formula so that the
        result is bit for bit the same. */
    void mixAtFullGain (float* __restrict out, const float* __restrict source, int n) noexcept
    {
        constexpr float g = 1.0f;
        for (int i = 0; i < n; ++i)
            out[i] = (1.0f - g) * out[i] + g * source[i];
    }
}

//==============================================================================
// Capture
void MarluneInstrumentProcessor::startCaptureIfArmed (bool isPlaying, juce::int64 blockStart,
                                                      bool offline, juce::int32& blockState)
{
    if (blockState != Armed || ! isPlaying || wasPlaying)
        return;

    capturedNotes.clear();
    capturedBends.clear();
    capturedBends.push_back ({ 0.0, targetBend });
    capturedMods.clear();
    capturedMods.push_back ({ 0.0, vibratoAmount.load() });
    captureStartSample = blockStart;

    {
        const juce::SpinLock::ScopedLockType sl (captureLock);
        cutPoints.clear();
        heldNoteCount = 0;
        phraseNoteCount = 0;
        silenceStartSample = -1;
        gapSeen = true;
    }

    capturedOffline.store (offline);
    state.store (Capturing);
    blockState = Capturing;
}

void MarluneInstrumentProcessor::handleMidiEvent (const juce::MidiMessage& message, juce::int64 hostSample,
                                                  juce::int32 blockState)
{
    const bool capturing = blockState == Capturing;
    const double t = (double) (hostSample - captureStartSample) / currentSampleRate;

    if (message.isNoteOn())
    {
        synthNoteOn (message.getNoteNumber(), message.getVelocity());
        if (capturing)
            captureNoteOn (message.getNoteNumber(), message.getVelocity(), hostSample);
    }
    else if (message.isNoteOff())
    {
        synthNoteOff (message.getNoteNumber());
        if (capturing)
            captureNoteOff (message.getNoteNumber(), hostSample);
    }
    else if (message.isControllerOfType (1))
    {
        vibratoAmount.store ((float) message.getControllerValue() / 127.0f);

        if (capturing && capturedMods.size() < (size_t) modCapacity)
        {
            const juce::SpinLock::ScopedLockType sl (captureLock);
            capturedMods.push_back ({ t, vibratoAmount.load() });
        }
    }
    else if (message.isPitchWheel())
    {
        targetBend = bendToSemitones (message.getPitchWheelValue(), bendRange.load());

        if (capturing && capturedBends.size() < (size_t) bendCapacity)
        {
            const juce::SpinLock::ScopedLockType sl (captureLock);
            capturedBends.push_back ({ t, targetBend });
        }
    }
}

void MarluneInstrumentProcessor::captureNoteOn (int pitch, int velocity, juce::int64 s)
{
    if (capturedNotes.size() >= (size_t) noteCapacity)
        return;

    const juce::SpinLock::ScopedLockType sl (captureLock);

    if (streamWhileRecording.load())
    {
        if (heldNoteCount == 0 && silenceStartSample != -1
            && s - silenceStartSample >= phraseGapSamples (currentSampleRate))
            gapSeen = true;

        if (phraseNoteCount > 0 && gapSeen && cutPoints.size() < (size_t) cutPointCapacity)
        {
            cutPoints.push_back (s);
            phraseNoteCount = 0;
        }

        gapSeen = false;
        ++heldNoteCount;
        ++phraseNoteCount;
        silenceStartSample = -1;
    }

    const double t = (double) (s - captureStartSample) / currentSampleRate;
    capturedNotes.push_back ({ t, 0.0, pitch, velocity, s, true });
}

void MarluneInstrumentProcessor::captureNoteOff (int pitch, juce::int64 s)
{
    const juce::SpinLock::ScopedLockType sl (captureLock);

    for (auto it = capturedNotes.rbegin(); it != capturedNotes.rend(); ++it)
    {
        if (! it->open || it->pitch != pitch)
            continue;

        it->duration = (double) (s - it->startSample) / currentSampleRate;
        it->open = false;

        if (streamWhileRecording.load())
        {
            if (heldNoteCount <= 1)
            {
                heldNoteCount = 0;
                silenceStartSample = s;
            }
            else
            {
                --heldNoteCount;
            }
        }
        return;
    }
}

//==============================================================================
// Monitoring synthesiser
void MarluneInstrumentProcessor::refreshEnvelopeSettings()
{
    const float releaseSetting = monitorRelease.load();
    const float wanted[4] = { attack.load(), decay.load(), sustain.load(),
                              releaseSetting < 0.0f ? 0.0f : releaseSetting };

    bool changed = false;
    for (int i = 0; i < 4; ++i)
        changed = changed || ! (wanted[i] == envelopeSettingsSeen[i]); // a NaN never compares equal

    if (! changed)
        return;

    for (int i = 0; i < 4; ++i)
        envelopeSettingsSeen[i] = wanted[i];

    // A non-finite setting (only a restored state can carry one) would turn the
    // envelope, and so the host's output, into NaN: the envelope gets 0 instead.
    const auto finiteOrZero = [] (float v) { return std::isfinite (v) ? v : 0.0f; };
    monitorEnvelope.setParameters ({ finiteOrZero (wanted[0]), finiteOrZero (wanted[1]),
                                     finiteOrZero (wanted[2]), finiteOrZero (wanted[3]) });
}

void MarluneInstrumentProcessor::synthNoteOn (int note, int velocity)
{
    const float vel = (float) velocity / 127.0f;

    if (heldCount < maxHeldKeys)
    {
        heldNotes[heldCount] = note;
        heldVelocities[heldCount] = vel;
        ++heldCount;
    }

    noteFrequency = midiNoteToHz (note);
    targetVelocity = vel;
    monitorEnvelope.noteOn();
}

void MarluneInstrumentProcessor::synthNoteOff (int note)
{
    int kept = 0;
    for (int i = 0; i < heldCount; ++i)
    {
        if (heldNotes[i] == note)
            continue;
        heldNotes[kept] = heldNotes[i];
        heldVelocities[kept] = heldVelocities[i];
        ++kept;
    }
    heldCount = kept;

    if (heldCount == 0)
    {
        monitorEnvelope.noteOff();
        return;
    }

    // The newest remaining key sounds again, without a new attack.
    noteFrequency = midiNoteToHz (heldNotes[heldCount - 1]);
    targetVelocity = heldVelocities[heldCount - 1];
}

void MarluneInstrumentProcessor::renderSynth (juce::AudioBuffer<float>& buffer, int startSample, int numSamples)
{
    if (numSamples <= 0)
        return;

    const int numChannels = buffer.getNumChannels();
    auto* const* channels = buffer.getArrayOfWritePointers();
    const double sampleRate = currentSampleRate;

    // A silent voice with no bend and no vibrato adds only zeros and its pitch
    // ratio is exactly 1, so only the phases and the velocity smoother need to
    // move on: the sines and the power of two are skipped, the state stays the
    // same as if they had run.
    if (! monitorEnvelope.isActive() && targetBend == 0.0f && smoothedBend == 0.0f
        && smoothedVibrato == 0.0f && vibratoAmount.load (std::memory_order_relaxed) == 0.0f
        && std::isfinite (vibratoMaxSemis.load (std::memory_order_relaxed)))
    {
        const double vibratoStep = vibratoSpeedHz.load (std::memory_order_relaxed) / sampleRate;
        const double toneStep = 1.0 * noteFrequency / sampleRate;
        for (int i = 0; i < numSamples; ++i)
        {
            vibratoPhase += vibratoStep;
            if (vibratoPhase >= 1.0)
                vibratoPhase -= 1.0;
            smoothedVelocity += (targetVelocity - smoothedVelocity) * (float) velocitySmoothing;
            oscPhase += toneStep;
            if (oscPhase >= 1.0)
                oscPhase -= 1.0;
        }
        buffer.setNotClear();
        return;
    }

    for (int i = 0; i < numSamples; ++i)
    {
        smoothedBend += (targetBend - smoothedBend) * (float) bendSmoothing;
        smoothedVibrato += (vibratoAmount.load (std::memory_order_relaxed) - smoothedVibrato) * (float) bendSmoothing;

        const double lfo = std::sin (juce::MathConstants<double>::twoPi * vibratoPhase);
        vibratoPhase += vibratoSpeedHz.load (std::memory_order_relaxed) / sampleRate;
        if (vibratoPhase >= 1.0)
            vibratoPhase -= 1.0;

        const double ratio = std::exp2 ((smoothedBend + lfo * vibratoMaxSemis.load (std::memory_order_relaxed) * smoothedVibrato) / 12.0);

        smoothedVelocity += (targetVelocity - smoothedVelocity) * (float) velocitySmoothing;

        const float env = monitorEnvelope.getNextSample();

        const double tone = std::sin (juce::MathConstants<double>::twoPi * oscPhase);
        oscPhase += ratio * noteFrequency / sampleRate;
        if (oscPhase >= 1.0)
            oscPhase -= 1.0;

        float out = smoothedVelocity * (float) tone * env * monitorGain;

        // Only a restored state can hold a non-finite setting; it must never
        // reach the host, nor stick in the voice once the setting is sane again.
        if (! std::isfinite (out))
        {
            out = 0.0f;
            resetNonFiniteVoiceState();
        }

        for (int ch = 0; ch < numChannels; ++ch)
            channels[ch][startSample + i] += out;
    }

    buffer.setNotClear();
}

void MarluneInstrumentProcessor::resetNonFiniteVoiceState() noexcept
{
    const auto finiteOr0 = [] (auto& v) { if (! std::isfinite (v)) v = 0; };
    finiteOr0 (smoothedBend);
    finiteOr0 (smoothedVibrato);
    finiteOr0 (smoothedVelocity);
    finiteOr0 (targetBend);
    finiteOr0 (noteFrequency);
    if (! (vibratoPhase >= 0.0 && vibratoPhase < 1.0)) vibratoPhase = 0.0;
    if (! (oscPhase >= 0.0 && oscPhase < 1.0)) oscPhase = 0.0;
}

//==============================================================================
// In-place playback
bool MarluneInstrumentProcessor::takesAreHeard (bool isPlaying, juce::int32 blockState) const
{
    return isPlaying && playRegions.load() && blockState != Armed && blockState != Capturing;
}

void MarluneInstrumentProcessor::mixRegionSpan (juce::AudioBuffer<float>& buffer, const Region& region,
                                                juce::int64 blockStart, juce::int64 s, juce::int64 e, int fade)
{
    const juce::int64 len = region.audio.getNumSamples();
    const int edge = edgeLength (fade, len);
    const float* source = region.audio.getReadPointer (0);

    // The span in region positions, split where the gain changes rule, so
    // that the long stretch at gain 1 runs as a plain loop the compiler
    // vectorises. Every sample gets the same gain and the same arithmetic.
    const juce::int64 k0 = s - region.startSample;
    const juce::int64 k1 = e - region.startSample;
    const juce::int64 fadeInEnd = juce::jlimit (k0, k1, (juce::int64) edge);
    const juce::int64 fadeOutStart = juce::jlimit (fadeInEnd, k1, len - edge);
    const juce::int64 offset = region.startSample - blockStart; // output index of region sample 0

    for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
    {
        float* out = buffer.getWritePointer (ch) + offset;

        for (juce::int64 k = k0; k < fadeInEnd; ++k)
        {
            const float g = regionGain (k, len, edge);
            out[k] = (1.0f - g) * out[k] + g * source[k];
        }

        mixAtFullGain (out + fadeInEnd, source + fadeInEnd, (int) (fadeOutStart - fadeInEnd));

        for (juce::int64 k = fadeOutStart; k < k1; ++k)
        {
            const float g = regionGain (k, len, edge);
            out[k] = (1.0f - g) * out[k] + g * source[k];
        }
    }
}

void MarluneInstrumentProcessor::playRegionsInPlace (juce::AudioBuffer<float>& buffer,
                                                     juce::int64 blockStart, int numSamples)
{
    const juce::SpinLock::ScopedTryLockType tryLock (regionsLock);
    if (! tryLock.isLocked())
        return;

    const juce::int64 blockEnd = blockStart + numSamples;
    const int fade = edgeFadeSamples (currentSampleRate);
    const auto numRegions = regions.size();

    // Where a later region plays at full gain it replaces everything before
    // it, so the earlier regions need not be mixed there. A backward pass
    // finds, per region, the part of the block not yet covered that way
    // (one covered stretch is tracked, which is exact for the usual layouts).
    const bool trackCoverage = numRegions <= (size_t) regionCapacity;
    juce::int64 coveredStart = blockEnd, coveredEnd = blockEnd;

    if (trackCoverage)
    {
        for (size_t i = numRegions; i-- > 0;)
        {
            const auto& region = regions[i];
            const juce::int64 len = region.audio.getNumSamples();
            auto& spans = visibleSpans[i];
            spans = {};

            juce::int64 s = juce::jmax (region.startSample, blockStart);
            juce::int64 e = juce::jmin (region.startSample + len, blockEnd);
            if (e - s <= 0 || region.audio.getNumChannels() == 0)
                continue;

            // Before the covered stretch, and after it.
            spans.beforeStart = s;
            spans.beforeEnd = juce::jmin (e, coveredStart);
            spans.afterStart = juce::jmax (s, coveredEnd);
            spans.afterEnd = e;

            const int edge = edgeLength (fade, len);
            const juce::int64 fullStart = juce::jmax (region.startSample + edge, blockStart);
            const juce::int64 fullEnd = juce::jmin (region.startSample + len - edge, blockEnd);

            if (fullEnd > fullStart)
            {
                if (fullStart <= coveredEnd && fullEnd >= coveredStart && coveredEnd > coveredStart)
                {
                    coveredStart = juce::jmin (coveredStart, fullStart);
                    coveredEnd = juce::jmax (coveredEnd, fullEnd);
                }
                else if (fullEnd - fullStart > coveredEnd - coveredStart)
                {
                    coveredStart = fullStart;
                    coveredEnd = fullEnd;
                }
            }
        }
    }

    bool wrote = false;

    for (size_t i = 0; i < numRegions; ++i)
    {
        const auto& region = regions[i];
        if (region.audio.getNumChannels() == 0)
            continue;

        if (! trackCoverage)
        {
            const juce::int64 s = juce::jmax (region.startSample, blockStart);
            const juce::int64 e = juce::jmin (region.startSample + region.audio.getNumSamples(), blockEnd);
            if (e > s)
            {
                mixRegionSpan (buffer, region, blockStart, s, e, fade);
                wrote = true;
            }
            continue;
        }

        const auto& spans = visibleSpans[i];
        if (spans.beforeEnd > spans.beforeStart)
        {
            mixRegionSpan (buffer, region, blockStart, spans.beforeStart, spans.beforeEnd, fade);
            wrote = true;
        }
        if (spans.afterEnd > spans.afterStart)
        {
            mixRegionSpan (buffer, region, blockStart, spans.afterStart, spans.afterEnd, fade);
            wrote = true;
        }
    }

    if (wrote)
        buffer.setNotClear();
}

void MarluneInstrumentProcessor::snapshotTail (juce::int64 blockEnd)
{
    const juce::SpinLock::ScopedTryLockType tryLock (regionsLock);
    if (! tryLock.isLocked())
        return;

    auto* tail = tailBuffer.getWritePointer (0);

    // A later region overwrites an earlier one's snapshot, so only the last
    // region that holds blockEnd counts: search from the end and stop there.
    for (auto it = regions.rbegin(); it != regions.rend(); ++it)
    {
        const auto& region = *it;
        const juce::int64 len = region.audio.getNumSamples();
        if (region.audio.getNumChannels() == 0 || ! (region.startSample <= blockEnd && blockEnd < region.startSample + len))
            continue;

        const juce::int64 o = blockEnd - region.startSample;
        const int n = (int) juce::jmin ((juce::int64) tailLength, len - o);
        const float* source = region.audio.getReadPointer (0);

        for (int i = 0; i < n; ++i)
            tail[i] = source[o + i];
        for (int i = n; i < tailLength; ++i)
            tail[i] = 0.0f;

        tailValid = true;
        break;
    }
}

void MarluneInstrumentProcessor::startStopFadeIfNeeded()
{
    if (wasPlaying && tailValid)
    {
        tailFading = true;
        tailPosition = 0;
    }
}

void MarluneInstrumentProcessor::runStopFade (juce::AudioBuffer<float>& buffer, int numSamples)
{
    if (! tailFading || tailBuffer.getNumSamples() < tailLength)
        return;

    const int n = juce::jmin (numSamples, tailLength - tailPosition);
    const auto* tail = tailBuffer.getReadPointer (0);
    auto* const* channels = buffer.getArrayOfWritePointers();

    for (int i = 0; i < n; ++i)
    {
        const float x = stopFadeGain (tailPosition + i, tailLength) * tail[tailPosition + i];
        for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
            channels[ch][i] += x;
    }

    if (n > 0)
        buffer.setNotClear();

    tailPosition += n;
    if (tailPosition >= tailLength)
        tailFading = false;
}
