// marlune-example: writes the example performance played by marlune-render.
//
// Two phrases on one MIDI channel, separated by a 1.5 s rest (the processor
// cuts phrases at 0.25 s of silence, so streaming renders them apart):
//   phrase 1 at 120 BPM: E4 G4 A4, then C5 bent up a whole tone and back;
//   phrase 2 at 100 BPM (a tempo change, so players must follow the tempo
//   map): D5 C5, then a long A4 with mod-wheel vibrato swelling in and out.
// The rest is long enough that phrase 1's rendered tail has died away before
// phrase 2 starts, so the rest is audibly silent in the output.
#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_core/juce_core.h>

#include <cmath>
#include <iostream>

namespace
{
    constexpr int ticksPerQuarter = 480;

    double ticks (double beats) { return std::round (beats * ticksPerQuarter); }

    void note (juce::MidiMessageSequence& track, double beat, double lengthBeats, int pitch, int velocity)
    {
        track.addEvent (juce::MidiMessage::noteOn (1, pitch, (juce::uint8) velocity), ticks (beat));
        track.addEvent (juce::MidiMessage::noteOff (1, pitch), ticks (beat + lengthBeats));
    }

    void bend (juce::MidiMessageSequence& track, double beat, int value14)
    {
        track.addEvent (juce::MidiMessage::pitchWheel (1, value14), ticks (beat));
    }

    void modWheel (juce::MidiMessageSequence& track, double beat, int value)
    {
        track.addEvent (juce::MidiMessage::controllerEvent (1, 1, value), ticks (beat));
    }

    juce::MidiFile makePerformance()
    {
        // Track 0: tempo map. 120 BPM (0.5 s a beat) until beat 7, then 100 BPM.
        juce::MidiMessageSequence tempo;
        tempo.addEvent (juce::MidiMessage::textMetaEvent (3, "Marlune Orvane example"), 0);
        tempo.addEvent (juce::MidiMessage::timeSignatureMetaEvent (4, 4), 0);
        tempo.addEvent (juce::MidiMessage::tempoMetaEvent (500000), 0);
        tempo.addEvent (juce::MidiMessage::tempoMetaEvent (600000), ticks (7.0));
        tempo.addEvent (juce::MidiMessage::endOfTrack(), ticks (12.0));

        juce::MidiMessageSequence melody;
        melody.addEvent (juce::MidiMessage::textMetaEvent (3, "Melody"), 0);
        bend (melody, 0.0, 8192);
        modWheel (melody, 0.0, 0);

        // Phrase 1: 0.25 s .. 2.0 s.
        note (melody, 0.5, 0.9, 64, 92);
        note (melody, 1.5, 0.9, 67, 100);
        note (melody, 2.5, 0.45, 69, 96);
        note (melody, 3.0, 1.0, 72, 110);
        for (int i = 0; i <= 8; ++i)             // bend up to +2 semitones ...
            bend (melody, 3.2 + i * 0.04, 8192 + (8191 * i) / 8);
        for (int i = 1; i <= 8; ++i)             // ... and back before the release
            bend (melody, 3.6 + i * 0.04, 16383 - (8191 * i) / 8);

        // Rest of 1.5 s (beats 4 .. 7 at 120 BPM); phrase 2: 3.5 s .. 6.2 s.
        note (melody, 7.0, 0.9, 74, 100);
        note (melody, 8.0, 0.9, 72, 96);
        note (melody, 9.0, 2.5, 69, 104);
        for (int i = 0; i <= 10; ++i)            // vibrato swells in ...
            modWheel (melody, 9.5 + i * 0.1, i * 10);
        for (int i = 1; i <= 5; ++i)             // ... and out as the note ends
            modWheel (melody, 10.6 + i * 0.1, 100 - i * 20);
        melody.addEvent (juce::MidiMessage::endOfTrack(), ticks (12.0));
        melody.updateMatchedPairs();

        juce::MidiFile file;
        file.setTicksPerQuarterNote (ticksPerQuarter);
        file.addTrack (tempo);
        file.addTrack (melody);
        return file;
    }
}

int main (int argc, char** argv)
{
    if (argc != 2 || juce::String (argv[1]).startsWith ("-"))
    {
        std::cerr << "usage: marlune-example OUT.mid\n";
        return argc == 2 ? 0 : 1;
    }

    const juce::File out = juce::File::getCurrentWorkingDirectory().getChildFile (argv[1]);
    out.getParentDirectory().createDirectory();

    juce::FileOutputStream stream (out);
    if (! stream.openedOk() || ! stream.setPosition (0) || ! stream.truncate().wasOk())
    {
        std::cerr << "marlune-example: cannot write " << out.getFullPathName() << "\n";
        return 1;
    }

    if (! makePerformance().writeTo (stream, 1))
    {
        std::cerr << "marlune-example: writing the MIDI file failed\n";
        return 1;
    }

    std::cout << out.getFullPathName() << "\n";
    return 0;
}
