#include "OrvaneInstrumentPanel.h"

#include <cmath>

namespace
{
    using State = MarluneInstrumentProcessor::State;

    constexpr float knobStartAngle = 1.25f * juce::MathConstants<float>::pi;
    constexpr float knobEndAngle = 2.75f * juce::MathConstants<float>::pi;
    constexpr int knobWidth = 72;
    constexpr int knobHeight = 90;
    constexpr int valueBoxWidth = 72;
    constexpr int valueBoxHeight = 18;

    constexpr float stringY = 84.0f;
    constexpr float stringInset = 28.0f;
    constexpr float maxStringAmplitude = 18.4f;

    struct CaptureFace
    {
        const char* text;
        juce::Colour fill, outline, textColour;
    };

    CaptureFace captureFaceFor (juce::int32 state)
    {
        switch (state)
        {
            case State::Armed:     return { "ARMED - PLAY", palette::terra, palette::terra, palette::cream };
            case State::Capturing: return { "CAPTURING", palette::terra.darker (0.1f), palette::terra, palette::cream };
            case State::Rendering: return { "RENDERING", palette::panel, palette::hair, palette::dim };
            default:               return { "ARM CAPTURE", juce::Colours::transparentBlack, palette::honey, palette::honeyHi };
        }
    }

    juce::String takesLineFor (int numTakes)
    {
        if (numTakes == 0)
            return "no takes yet";

        return juce::String (numTakes) + (numTakes == 1 ? " take captured" : " takes captured");
    }

    void colourButton (juce::TextButton& b, juce::Colour fill, juce::Colour outline, juce::Colour text)
    {
        b.setColour (juce::TextButton::buttonColourId, fill);
        b.setColour (juce::ComboBox::outlineColourId, outline);
        b.setColour (juce::TextButton::textColourOffId, text);
    }

    juce::Rectangle<float> clampedRect (float x, float y, float width, float height)
    {
        return { x, y, juce::jmax (0.0f, width), juce::jmax (0.0f, height) };
    }
}

OrvaneInstrumentPanel::OrvaneInstrumentPanel (MarluneInstrumentProcessor& p)
    : processor (p), chip (p)
{
    setLookAndFeel (&lnf);

    addAndMakeVisible (armButton);
    addAndMakeVisible (resetButton);
    addAndMakeVisible (clearButton);
    armButton.onClick   = [this] { processor.arm();          refresh(); };
    resetButton.onClick = [this] { processor.resetCapture(); refresh(); };
    clearButton.onClick = [this] { processor.clearRegions(); refresh(); };

    addSwitch (hearToggle, processor.playRegions,
               "Hear rendered takes during playback, or mute them to audition your notes.");
    addSwitch (mutedToggle, processor.muted,
               "Short, damped notes (palm-mute feel) instead of long ringing ones.");

    addAndMakeVisible (statusLabel);
    statusLabel.setJustificationType (juce::Justification::centred);
    statusLabel.setColour (juce::Label::textColourId, palette::cream);
    statusLabel.setFont (juce::FontOptions (13.0f, juce::Font::plain));

    addAndMakeVisible (takesLabel);
    takesLabel.setJustificationType (juce::Justification::centred);
    takesLabel.setColour (juce::Label::textColourId, palette::dim);
    takesLabel.setFont (juce::FontOptions (11.5f, juce::Font::plain));

    addAndMakeVisible (chip);

    addKnob (velocitySlider, velocityLabel, "VELOCITY SENS", 0.0, 3.0, 0.01, processor.velocityCurve.load(), {},
             "Velocity sensitivity: how strongly playing dynamics map to loudness. Below 1 lifts soft notes; 0 plays every note at full strength.",
             [this] (float v) { processor.velocityCurve = v; });
    addKnob (bendSlider, bendLabel, "BEND", 0.5, 4.0, 0.5, processor.bendRange.load(), " st",
             "Bend range: how many semitones the pitch-bend wheel covers.",
             [this] (float v) { processor.bendRange = v; });
    addKnob (vibratoSlider, vibratoLabel, "VIBRATO", 0.0, 100.0, 1.0, processor.vibratoAmount.load() * 100.0, " %",
             "Vibrato amount (amplitude). Mapped to your mod wheel (CC1): the wheel sweeps it from off to deep in real time.",
             [this] (float v) { processor.vibratoAmount = v / 100.0f; });
    addKnob (speedSlider, speedLabel, "SPEED", 0.1, 15.0, 0.1, processor.vibratoSpeedHz.load(), " Hz",
             "Vibrato speed (LFO rate). 4-7 Hz is the natural range.",
             [this] (float v) { processor.vibratoSpeedHz = v; });

    // The natural vibrato rates get most of the knob's travel.
    speedSlider.setSkewFactorFromMidPoint (5.0);

    // Names the children, so tools and tests can find them.
    for (auto [child, id] : { std::pair<juce::Component*, const char*> { &armButton, "armButton" },
                              { &resetButton, "resetButton" }, { &clearButton, "clearButton" },
                              { &hearToggle, "hearToggle" }, { &mutedToggle, "mutedToggle" },
                              { &statusLabel, "statusLabel" }, { &takesLabel, "takesLabel" }, { &chip, "chip" },
                              { &velocitySlider, "velocitySlider" }, { &bendSlider, "bendSlider" },
                              { &vibratoSlider, "vibratoSlider" }, { &speedSlider, "speedSlider" },
                              { &velocityLabel, "velocityLabel" }, { &bendLabel, "bendLabel" },
                              { &vibratoLabel, "vibratoLabel" }, { &speedLabel, "speedLabel" } })
        child->setComponentID (id);

    refresh();
}

OrvaneInstrumentPanel::~OrvaneInstrumentPanel()
{
    setLookAndFeel (nullptr);
}

void OrvaneInstrumentPanel::addSwitch (juce::ToggleButton& toggle, std::atomic<bool>& setting, const juce::String& tooltip)
{
    addAndMakeVisible (toggle);
    toggle.setToggleState (setting.load(), juce::dontSendNotification);
    toggle.onClick = [&toggle, &setting] { setting = toggle.getToggleState(); };
    toggle.setTooltip (tooltip);
}

void OrvaneInstrumentPanel::addKnob (juce::Slider& slider, juce::Label& caption, const juce::String& captionText,
                                     double minimum, double maximum, double step, double initialValue,
                                     const juce::String& suffix, const juce::String& tooltip,
                                     std::function<void (float)> setter)
{
    addAndMakeVisible (slider);
    slider.setSliderStyle (juce::Slider::RotaryHorizontalVerticalDrag);
    slider.setRotaryParameters (knobStartAngle, knobEndAngle, true);
    slider.setRange (minimum, maximum, step);
    slider.setValue (initialValue, juce::dontSendNotification);
    slider.setTextBoxStyle (juce::Slider::TextBoxBelow, false, valueBoxWidth, valueBoxHeight);
    slider.setTextValueSuffix (suffix);
    slider.setTooltip (tooltip);
    slider.onValueChange = [&slider, setter = std::move (setter)] { setter ((float) slider.getValue()); };

    addAndMakeVisible (caption);
    caption.setText (captionText, juce::dontSendNotification);
    caption.setJustificationType (juce::Justification::centred);
    caption.setColour (juce::Label::textColourId, palette::dim);
    caption.setFont (juce::FontOptions (11.0f, juce::Font::bold).withKerningFactor (0.06f));
    caption.setTooltip (tooltip);
}

void OrvaneInstrumentPanel::refresh()
{
    const auto state = processor.state.load();

    statusLabel.setText (processor.getStatus(), juce::dontSendNotification);

    const auto numTakes = processor.getNumRegions();
    takesLabel.setText (takesLineFor (numTakes), juce::dontSendNotification);

    armButton.setEnabled (state != State::Rendering);
    clearButton.setEnabled (numTakes > 0 && state != State::Rendering);

    showCaptureState (state);
    colourButton (resetButton, juce::Colours::transparentBlack, palette::hair, palette::dim);
    colourButton (clearButton, juce::Colours::transparentBlack, palette::hair, palette::dim);

    chip.setHasTake (OrvaneDragChip::isTakeFile (processor.getLastTakeFile()));
}

void OrvaneInstrumentPanel::showCaptureState (juce::int32 state)
{
    const auto face = captureFaceFor (state);

    if (armButton.getButtonText() != face.text)
        armButton.setButtonText (face.text);

    colourButton (armButton, face.fill, face.outline, face.textColour);
}

void OrvaneInstrumentPanel::tick()
{
    const auto state = processor.state.load();

    phase += 0.1f;
    pulse = 0.5f + 0.5f * std::sin (0.18f * phase);
    meter += 0.4f * (processor.outputLevel.load() - meter);

    // One sweep along the string every 50 ticks while rendering.
    sweep = state == State::Rendering ? sweep + 0.02f - std::floor (sweep + 0.02f) : 0.0f;

    // The modulation wheel writes vibratoAmount on the audio thread; the knob follows it.
    vibratoSlider.setValue (processor.vibratoAmount.load() * 100.0, juce::dontSendNotification);

    refresh();
    repaint();
}

void OrvaneInstrumentPanel::resized()
{
    const auto w = getWidth();
    const auto h = getHeight();

    armButton.setBounds ((w - 214) / 2, 116, 214, 52);
    statusLabel.setBounds (20, 180, w - 40, 22);
    takesLabel.setBounds (20, 202, w - 40, 16);
    mutedToggle.setBounds (28, h - 232, 150, 26);
    hearToggle.setBounds (w - 238, h - 232, 210, 26);

    const auto column = (w - 32) / 4;
    const std::pair<juce::Slider*, juce::Label*> knobs[] = { { &velocitySlider, &velocityLabel }, { &bendSlider, &bendLabel },
                                                             { &vibratoSlider, &vibratoLabel }, { &speedSlider, &speedLabel } };
    for (int i = 0; i < 4; ++i)
    {
        const auto left = 16 + i * column;
        knobs[i].second->setBounds (left, h - 180, column, 14);
        knobs[i].first->setBounds (left + (column - knobWidth) / 2, h - 162, knobWidth, knobHeight);
    }

    resetButton.setBounds (16, h - 34, 78, 26);
    clearButton.setBounds (102, h - 34, 78, 26);
    chip.setBounds (w - 156, h - 34, 140, 26);
}

void OrvaneInstrumentPanel::paint (juce::Graphics& g)
{
    const auto w = (float) getWidth();
    const auto h = (float) getHeight();
    constexpr float surfaceCorner = 16.0f;

    g.setColour (palette::panel.withAlpha ((juce::uint8) 0x59));
    g.fillRoundedRectangle (0.0f, 0.0f, w, h, surfaceCorner);
    g.setColour (palette::hair);
    g.drawRoundedRectangle (clampedRect (0.5f, 0.5f, w - 1.0f, h - 1.0f), surfaceCorner, 1.0f);

    juce::String title ("Instrument");
    const auto selected = processor.getSelectedPmi();
    for (const auto& info : processor.getLibrary())
        if (info.slug == selected)
            title = info.name;

    g.setColour (palette::cream);
    g.setFont (juce::FontOptions (17.0f, juce::Font::bold).withKerningFactor (0.04f));
    g.drawText (title, juce::Rectangle<int> (24, 18, getWidth() - 48, 22), juce::Justification::centredLeft, true);

    g.setColour (palette::honey.withAlpha ((juce::uint8) 0xE6));
    g.setFont (juce::FontOptions (9.5f, juce::Font::bold).withKerningFactor (0.28f));
    g.drawText ("PERFORMANCE MODELLING INSTRUMENT", juce::Rectangle<int> (25, 40, getWidth() - 48, 12),
                juce::Justification::centredLeft, true);

    paintString (g, processor.state.load());

    const auto tray = clampedRect (16.0f, h - 196.0f, w - 32.0f, 150.0f);
    g.setColour (palette::panel.withAlpha ((juce::uint8) 0x80));
    g.fillRoundedRectangle (tray, surfaceCorner);
    g.setColour (palette::hair);
    g.drawRoundedRectangle (tray, surfaceCorner, 1.0f);
}

void OrvaneInstrumentPanel::paintString (juce::Graphics& g, juce::int32 state) const
{
    const auto base = 34.0f * meter + 0.7f * pulse + 1.3f;
    const auto capturing = state == State::Armed || state == State::Capturing;
    const auto rendering = state == State::Rendering;

    auto colour = processor.getNumRegions() > 0 ? palette::sage : palette::honey;
    auto amplitude = base;
    if (capturing)
    {
        colour = palette::terra;
        amplitude = juce::jmax (base, 3.0f + 2.0f * pulse);
    }
    else if (rendering)
    {
        colour = palette::honeyHi;
    }

    const auto a = juce::jmin (amplitude, maxStringAmplitude);
    const auto x1 = (float) getWidth() - stringInset;
    const auto length = x1 - stringInset;

    if (x1 >= stringInset)
    {
        juce::Path string;
        for (int x = (int) stringInset; (float) x <= x1; x += 2)
        {
            const auto t = length > 0.0f ? ((float) x - stringInset) / length : 0.0f;
            auto y = stringY + a * std::sin (15.0f * t - phase) * std::sin (juce::MathConstants<float>::pi * t);

            if (rendering)
            {
                const auto d = ((float) x - (stringInset + sweep * length)) / 26.0f;
                y -= 9.0f * std::exp (-d * d);
            }

            if (x == (int) stringInset)
                string.startNewSubPath ((float) x, y);
            else
                string.lineTo ((float) x, y);
        }

        g.setColour (colour.withAlpha ((juce::uint8) 0xE6));
        g.strokePath (string, juce::PathStrokeType (1.8f, juce::PathStrokeType::curved, juce::PathStrokeType::butt));
        g.setColour (colour.withAlpha ((juce::uint8) 0x24));
        g.strokePath (string, juce::PathStrokeType (5.0f, juce::PathStrokeType::curved));
    }

    g.setColour (palette::hair);
    g.fillEllipse (stringInset - 3.0f, stringY - 3.0f, 6.0f, 6.0f);
    g.fillEllipse (x1 - 3.0f, stringY - 3.0f, 6.0f, 6.0f);
}
