#pragma once

#include "InstrumentProcessor.h"
#include "OrvaneLNF.h"

#include <functional>

/** The pill that hands the last take file to the system's drag-and-drop. */
class OrvaneDragChip : public juce::Component
{
public:
    explicit OrvaneDragChip (MarluneInstrumentProcessor&);

    /** True when path names an existing file (not a directory). */
    static bool isTakeFile (const juce::String& path);

    /** Switches between the take and no-take faces; repaints only on a change. */
    void setHasTake (bool nowHasTake);
    bool getHasTake() const noexcept { return hasTake; }

    void paint (juce::Graphics&) override;
    void mouseDown (const juce::MouseEvent&) override;
    void mouseDrag (const juce::MouseEvent&) override;

    /** Starts the external drag. External drag-and-drop needs a desktop
        session, so tests replace this to watch the drags. */
    std::function<void (const juce::StringArray& files, juce::Component* source)> startExternalDrag =
        [] (const juce::StringArray& files, juce::Component* source)
        {
            // Offered for copying only: the take stays where the plug-in wrote it.
            juce::DragAndDropContainer::performExternalDragDropOfFiles (files, false, source);
        };

private:
    MarluneInstrumentProcessor& processor;
    bool hasTake = false;
    bool dragStarted = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (OrvaneDragChip)
};
