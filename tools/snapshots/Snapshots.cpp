// marlune-snapshots [--out DIR]
//
// Paints every face of the editor into PNG files without opening a window.
// The processor is put into each state by hand; nothing reaches the network.

#include "OrvaneEditor.h"

#include <functional>
#include <iostream>

namespace
{
    using Processor = MarluneInstrumentProcessor;

    struct Face
    {
        const char* fileName;
        std::function<void (Processor&, juce::File& scratch)> prepare;
        std::function<void (MarluneOrvaneEditor&)> showExtra;
    };

    void signIn (Processor& p)
    {
        const juce::ScopedLock sl (p.accountLock);
        p.accessToken = "snapshot-token";
        p.refreshToken = "snapshot-refresh";
        p.accountEmail = "player@example.com";
    }

    void giveLibrary (Processor& p)
    {
        {
            const juce::ScopedLock sl (p.libraryLock);
            p.library = { { "nylon-guitar", "Nylon Guitar", "Warm classical strings" },
                          { "cello", "Cello", "Bowed, close-miked" },
                          { "flute", "Flute", "" } };
            p.selectedPmi = "nylon-guitar";
        }
        ++p.libraryVersion;
    }

    void giveTakes (Processor& p, int count)
    {
        const juce::SpinLock::ScopedLockType sl (p.regionsLock);
        for (int i = 0; i < count; ++i)
            p.regions.push_back ({ 48000 * i, juce::AudioBuffer<float> (1, 64) });
    }

    void inState (Processor& p, Processor::State s, const juce::String& status)
    {
        p.state.store (s);
        p.setStatus (status);
    }

    void instrumentFace (Processor& p, Processor::State s, const juce::String& status)
    {
        signIn (p);
        giveLibrary (p);
        inState (p, s, status);
    }

    std::vector<Face> faces()
    {
        return {
            { "signed-out.png", [] (Processor&, juce::File&) {}, {} },
            { "signed-in-empty-library.png", [] (Processor& p, juce::File&) { signIn (p); }, {} },
            { "panel-idle-no-takes.png",
              [] (Processor& p, juce::File&) { instrumentFace (p, Processor::Idle, "Idle - arm, then play a segment to capture."); }, {} },
            { "panel-armed.png",
              [] (Processor& p, juce::File&) { instrumentFace (p, Processor::Armed, "Armed - play through the segment to capture."); }, {} },
            { "panel-capturing.png",
              [] (Processor& p, juce::File&) { instrumentFace (p, Processor::Capturing, "Capturing..."); p.outputLevel = 0.2f; }, {} },
            { "panel-rendering.png",
              [] (Processor& p, juce::File&) { instrumentFace (p, Processor::Rendering, "Rendering phrase 2 of 3..."); giveTakes (p, 1); }, {} },
            { "panel-idle-with-takes.png",
              [] (Processor& p, juce::File& scratch)
              {
                  instrumentFace (p, Processor::Idle, "Take ready (3 total) - press play to hear it in place.");
                  giveTakes (p, 3);
                  scratch.replaceWithText ("RIFF");
                  const juce::ScopedLock sl (p.lastTakeFileMutex);
                  p.lastTakeFile = scratch.getFullPathName();
              }, {} },
            { "tooltip.png",
              [] (Processor& p, juce::File&) { instrumentFace (p, Processor::Idle, "Idle - arm, then play a segment to capture."); },
              [] (MarluneOrvaneEditor& editor)
              {
                  auto* panel = editor.getInstrumentPanel();
                  for (auto* child : panel->getChildren())
                      if (child->getComponentID() == "vibratoSlider")
                      {
                          auto& knob = dynamic_cast<juce::Slider&> (*child);
                          auto& tips = editor.getTooltipWindow();
                          tips.getTipFor (knob);
                          tips.displayTip (knob.localPointToGlobal (juce::Point<int> (36, 40)), knob.getTooltip());
                      }
              } },
        };
    }

    juce::File outputDirectory (const juce::StringArray& args)
    {
        const auto flag = args.indexOf ("--out");
        if (flag >= 0 && flag + 1 < args.size())
            return juce::File::getCurrentWorkingDirectory().getChildFile (args[flag + 1]);

        return juce::File (MARLUNE_SNAPSHOTS_DEFAULT_DIR);
    }

    bool writePng (const juce::Image& image, const juce::File& file)
    {
        file.deleteFile();
        juce::FileOutputStream out (file);
        return out.openedOk() && juce::PNGImageFormat().writeImageToStream (image, out);
    }

    bool renderFace (const Face& face, const juce::File& dir)
    {
        juce::TemporaryFile take (".wav");
        auto scratch = take.getFile();

        Processor processor;
        processor.setBackendUrl ("http://127.0.0.1:9");
        face.prepare (processor, scratch);

        std::unique_ptr<MarluneOrvaneEditor> editor (dynamic_cast<MarluneOrvaneEditor*> (processor.createEditor()));
        // A few polls, so the string has moved off its resting shape.
        for (int i = 0; i < 12; ++i)
            editor->timerCallback();

        if (face.showExtra)
            face.showExtra (*editor);

        const auto file = dir.getChildFile (face.fileName);
        const auto ok = writePng (editor->createComponentSnapshot (editor->getLocalBounds(), true, 1.0f), file);
        std::cout << (ok ? "wrote " : "FAILED ") << file.getFullPathName() << std::endl;

        editor.reset();
        processor.clearRegions();
        return ok;
    }
}

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juceGui;

    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add (argv[i]);

    const auto dir = outputDirectory (args);
    if (! dir.createDirectory())
    {
        std::cerr << "cannot create " << dir.getFullPathName() << std::endl;
        return 1;
    }

    bool allWritten = true;
    for (const auto& face : faces())
        allWritten = renderFace (face, dir) && allWritten;

    return allWritten ? 0 : 1;
}
