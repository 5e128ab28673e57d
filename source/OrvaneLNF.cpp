#include "OrvaneLNF.h"

namespace
{
    constexpr float tipWrapWidth = 230.0f;
    constexpr int tipMarginX = 11;
    constexpr int tipMarginY = 8;

    juce::Rectangle<float> inset (float x, float y, float width, float height)
    {
        return { x, y, juce::jmax (0.0f, width), juce::jmax (0.0f, height) };
    }

    /** Tooltip text block: 12-point cream text wrapped by word at maxWidth. */
    juce::TextLayout orvaneTipLayout (const juce::String& text, float maxWidth)
    {
        juce::AttributedString s;
        s.setJustification (juce::Justification::centredLeft);
        s.setLineSpacing (0.0f);
        s.setWordWrap (juce::AttributedString::byWord);
        s.append (text, juce::FontOptions (12.0f, juce::Font::plain), palette::cream);

        juce::TextLayout layout;
        layout.createLayout (s, maxWidth);
        return layout;
    }
}

void OrvaneLNF::drawButtonBackground (juce::Graphics& g, juce::Button& button, const juce::Colour& backgroundColour,
                                      bool shouldDrawButtonAsHighlighted, bool shouldDrawButtonAsDown)
{
    const auto r = inset (1.5f, 1.5f, (float) button.getWidth() - 3.0f, (float) button.getHeight() - 3.0f);
    const auto corner = r.getHeight() * 0.5f;

    auto fill = backgroundColour;
    if (shouldDrawButtonAsHighlighted)
        fill = fill.brighter (0.08f);
    if (shouldDrawButtonAsDown)
        fill = fill.darker (0.15f);

    if (fill.getAlpha() != 0)
    {
        g.setColour (fill);
        g.fillRoundedRectangle (r, corner);
    }

    // Outlined even when transparent, so a bare button still reads as a pill.
    g.setColour (button.findColour (juce::ComboBox::outlineColourId));
    g.drawRoundedRectangle (r, corner, 1.3f);
}

juce::Font OrvaneLNF::getTextButtonFont (juce::TextButton&, int buttonHeight)
{
    const auto height = (float) (juce::jmin (buttonHeight, 23) - 8);
    return juce::FontOptions (height, juce::Font::bold).withKerningFactor (0.08f);
}

void OrvaneLNF::drawToggleButton (juce::Graphics& g, juce::ToggleButton& button,
                                  bool shouldDrawButtonAsHighlighted, bool /*down changes nothing*/)
{
    const auto w = (float) button.getWidth();
    const auto h = (float) button.getHeight();
    const auto on = button.getToggleState();

    const juce::Rectangle<float> track (w - 40.0f, h * 0.5f - 10.5f, 40.0f, 21.0f);
    constexpr float trackCorner = 10.5f;

    g.setColour (on ? palette::honey : palette::hair);
    g.fillRoundedRectangle (track, trackCorner);

    if (shouldDrawButtonAsHighlighted)
    {
        g.setColour (palette::cream.withAlpha ((juce::uint8) 0x1A));
        g.fillRoundedRectangle (track, trackCorner);
    }

    const auto thumbX = track.getX() + (on ? 21.5f : 2.5f);
    g.setColour (palette::cream);
    g.fillEllipse (thumbX, track.getY() + 2.5f, 16.0f, 16.0f);

    g.setColour (on ? palette::cream : palette::dim);
    g.setFont (juce::FontOptions (13.0f, juce::Font::plain));
    g.drawText (button.getButtonText(), juce::Rectangle<int> (0, 0, juce::jmax (0, button.getWidth() - 50), button.getHeight()),
                juce::Justification::centredLeft, true);
}

void OrvaneLNF::drawRotarySlider (juce::Graphics& g, int x, int y, int width, int height, float sliderPos,
                                  float rotaryStartAngle, float rotaryEndAngle, juce::Slider&)
{
    const auto area = inset ((float) x + 5.0f, (float) y + 5.0f, (float) width - 10.0f, (float) height - 10.0f);
    const auto cx = area.getCentreX();
    const auto cy = area.getCentreY();
    const auto radius = 0.5f * juce::jmin (area.getWidth(), area.getHeight());

    g.setColour (palette::panel.darker (0.25f));
    g.fillEllipse (cx - radius, cy - radius, 2.0f * radius, 2.0f * radius);

    g.setGradientFill (juce::ColourGradient (palette::panel.brighter (0.1f), cx, cy - radius,
                                             palette::panel.darker (0.35f), cx, cy + radius, false));
    g.fillEllipse (cx - 0.78f * radius, cy - 0.78f * radius, 1.56f * radius, 1.56f * radius);

    const auto thickness = 0.16f * radius;
    const auto arcRadius = radius - 0.6f * thickness;
    const juce::PathStrokeType arcStroke (thickness, juce::PathStrokeType::curved, juce::PathStrokeType::rounded);

    const auto strokeArc = [&] (float fromAngle, float toAngle, juce::Colour colour)
    {
        juce::Path arc;
        arc.addCentredArc (cx, cy, arcRadius, arcRadius, 0.0f, fromAngle, toAngle, true);
        g.setColour (colour);
        g.strokePath (arc, arcStroke);
    };

    const auto valueAngle = rotaryStartAngle + sliderPos * (rotaryEndAngle - rotaryStartAngle);
    strokeArc (rotaryStartAngle, rotaryEndAngle, palette::hair);
    strokeArc (rotaryStartAngle, valueAngle, palette::honey);

    // Slider angles count clockwise from twelve o'clock; the trigonometry counts from three.
    const auto theta = valueAngle - juce::MathConstants<float>::halfPi;
    const auto length = radius - 1.7f * thickness;
    g.setColour (palette::honeyHi);
    g.drawLine (cx + 0.35f * length * std::cos (theta), cy + 0.35f * length * std::sin (theta),
                cx + length * std::cos (theta), cy + length * std::sin (theta), 0.7f * thickness);
}

juce::Label* OrvaneLNF::createSliderTextBox (juce::Slider& slider)
{
    auto* label = juce::LookAndFeel_V4::createSliderTextBox (slider);
    label->setColour (juce::Label::textColourId, palette::cream);
    label->setColour (juce::Label::outlineColourId, juce::Colours::transparentBlack);
    label->setColour (juce::Label::backgroundColourId, juce::Colours::transparentBlack);
    label->setFont (juce::FontOptions (13.0f, juce::Font::bold));
    return label;
}

juce::Rectangle<int> OrvaneLNF::getTooltipBounds (const juce::String& tipText, juce::Point<int> screenPos,
                                                  juce::Rectangle<int> parentArea)
{
    const auto layout = orvaneTipLayout (tipText, tipWrapWidth);
    const auto tw = (int) layout.getWidth() + 2 * tipMarginX;
    const auto th = (int) layout.getHeight() + 2 * tipMarginY;

    const auto centre = parentArea.getCentre();

    // Open away from the centre, so the tip stays clear of the pointer and of the edges.
    const auto x = screenPos.x > centre.x ? screenPos.x - tw - 12 : screenPos.x + 14;
    const auto y = screenPos.y > centre.y ? screenPos.y - th - 8 : screenPos.y + 8;

    return juce::Rectangle<int> (x, y, tw, th).constrainedWithin (parentArea);
}

void OrvaneLNF::drawTooltip (juce::Graphics& g, const juce::String& text, int width, int height)
{
    const auto w = (float) width;
    const auto h = (float) height;

    g.setColour (palette::bgBot);
    g.fillRoundedRectangle (0.0f, 0.0f, w, h, 7.0f);

    g.setColour (palette::panel.brighter (0.06f));
    g.fillRoundedRectangle (inset (1.0f, 1.0f, w - 2.0f, h - 2.0f), 6.5f);

    g.setColour (palette::honey.withAlpha ((juce::uint8) 0x73));
    g.drawRoundedRectangle (inset (0.8f, 0.8f, w - 1.6f, h - 1.6f), 7.0f, 1.0f);

    // Wrapped at two pixels more than the text box, as the bounds were measured
    // at 230 and the box is the measured width: the lines come out the same.
    orvaneTipLayout (text, w - 20.0f)
        .draw (g, inset ((float) tipMarginX, (float) tipMarginY, w - 2.0f * tipMarginX, h - 2.0f * tipMarginY));
}
