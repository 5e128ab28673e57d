#pragma once

#include "InstrumentProcessor.h"
#include "OrvaneDragChip.h"
#include "OrvaneLNF.h"

#include <functional>

/** The selected instrument's controls: capture, takes, switches and knobs. */
class OrvaneInstrumentPanel : public juce::Component
{
public:
    explicit OrvaneInstrumentPanel (MarluneInstrumentProcessor&);
    ~OrvaneInstrumentPanel() override;

    /** Brings the status, takes line, capture button and chip up to date. */
    void refresh();

    /** One step of the editor's poll: animation, vibrato knob, refresh, repaint. */
    void tick();

    void paint (juce::Graphics&) override;
    void resized() override;

private:
    void addKnob (juce::Slider&, juce::Label& caption, const juce::String& captionText,
                  double minimum, double maximum, double step, double initialValue,
                  const juce::String& suffix, const juce::String& tooltip, std::function<void (float)> setter);
    void addSwitch (juce::ToggleButton&, std::atomic<bool>& setting, const juce::String& tooltip);
    void showCaptureState (juce::int32 state);
    void paintString (juce::Graphics&, juce::int32 state) const;

    MarluneInstrumentProcessor& processor;
    OrvaneLNF lnf;

    juce::TextButton armButton { "ARM CAPTURE" };
    juce::TextButton resetButton { "Reset" };
    juce::TextButton clearButton { "Clear" };
    juce::ToggleButton hearToggle { "Hear takes on playback" };
    juce::ToggleButton mutedToggle { "Muted" };
    juce::Label statusLabel;
    juce::Label takesLabel;
    OrvaneDragChip chip;
    juce::Slider velocitySlider, bendSlider;
    juce::Label velocityLabel, bendLabel;
    juce::Slider vibratoSlider, speedSlider;
    juce::Label vibratoLabel, speedLabel;

    float phase = 0.0f;
    float pulse = 0.0f;
    float sweep = 0.0f;
    float meter = 0.0f;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (OrvaneInstrumentPanel)
};
