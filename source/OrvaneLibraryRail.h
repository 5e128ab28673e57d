#pragma once

#include "InstrumentProcessor.h"
#include "OrvaneLNF.h"

#include <functional>

/** The left-hand list of the user's instruments; a click selects one. */
class OrvaneLibraryRail : public juce::Component
{
public:
    explicit OrvaneLibraryRail (MarluneInstrumentProcessor&);

    /** Run after every click on a row, also on the row already selected. */
    std::function<void()> onSelect;

    int getHoverRow() const noexcept { return hoverRow; }

    void paint (juce::Graphics&) override;
    void mouseMove (const juce::MouseEvent&) override;
    void mouseExit (const juce::MouseEvent&) override;
    void mouseUp (const juce::MouseEvent&) override;

private:
    /** Index of the instrument whose band holds y, or -1. */
    int rowAt (int y) const;
    void paintRow (juce::Graphics&, int row, const MarluneInstrumentProcessor::PmiInfo&, bool selected) const;

    MarluneInstrumentProcessor& processor;
    int hoverRow = -1;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (OrvaneLibraryRail)
};
