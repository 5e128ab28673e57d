#pragma once

#include "JuceCompat.h"

#include <juce_gui_basics/juce_gui_basics.h>

/** The eleven colours every part of the editor draws with. */
namespace palette
{
    inline const juce::Colour bgTop   { 0xFF231C15 };
    inline const juce::Colour bgBot   { 0xFF17120D };
    inline const juce::Colour panel   { 0xFF2B2318 };
    inline const juce::Colour railBg  { 0xFF1D160F };
    inline const juce::Colour hair    { 0xFF3C3125 };
    inline const juce::Colour cream   { 0xFFF3ECDF };
    inline const juce::Colour dim     { 0xFF9D8B73 };
    inline const juce::Colour honey   { 0xFFE0A35A };
    inline const juce::Colour honeyHi { 0xFFF4C883 };
    inline const juce::Colour terra   { 0xFFD4694A };
    inline const juce::Colour sage    { 0xFF9CB583 };
}

/** Pill buttons, switch toggles, arc knobs, bare value boxes and the tooltips. */
class OrvaneLNF : public juce::LookAndFeel_V4
{
public:
    OrvaneLNF() = default;

    void drawButtonBackground (juce::Graphics&, juce::Button&, const juce::Colour& backgroundColour,
                               bool shouldDrawButtonAsHighlighted, bool shouldDrawButtonAsDown) override;
    juce::Font getTextButtonFont (juce::TextButton&, int buttonHeight) override;
    void drawToggleButton (juce::Graphics&, juce::ToggleButton&,
                           bool shouldDrawButtonAsHighlighted, bool shouldDrawButtonAsDown) override;
    void drawRotarySlider (juce::Graphics&, int x, int y, int width, int height, float sliderPosProportional,
                           float rotaryStartAngle, float rotaryEndAngle, juce::Slider&) override;
    juce::Label* createSliderTextBox (juce::Slider&) override;
    juce::Rectangle<int> getTooltipBounds (const juce::String& tipText, juce::Point<int> screenPos,
                                           juce::Rectangle<int> parentArea) override;
    void drawTooltip (juce::Graphics&, const juce::String& text, int width, int height) override;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (OrvaneLNF)
};
