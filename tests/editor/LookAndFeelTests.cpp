#include "EditorTestSupport.h"

using namespace marlune::editortest;
using ::testing::Not;

namespace
{
    const auto backdrop = juce::Colour (0xFF00C0C0);
    const auto outline = juce::Colour (0xFFFF0000);

    struct ButtonCase
    {
        const char* name;
        juce::Colour fill;
        bool highlighted, down;
        juce::Colour expectedCentre;
    };
}

TEST (OrvaneLNF, TextButtonsArePillsWhoseFillFollowsTheMouseAndWhoseOutlineAlwaysShows)
{
    const auto honey = palette::honey;
    const ButtonCase cases[] = {
        { "transparent", juce::Colours::transparentBlack, false, false, backdrop },
        { "transparent highlighted", juce::Colours::transparentBlack, true, false, backdrop },
        { "transparent pressed", juce::Colours::transparentBlack, true, true, backdrop },
        { "opaque", honey, false, false, honey },
        { "opaque highlighted", honey, true, false, honey.brighter (0.08f) },
        { "opaque pressed", honey, false, true, honey.darker (0.15f) },
        { "opaque highlighted and pressed", honey, true, true, honey.brighter (0.08f).darker (0.15f) },
    };

    OrvaneLNF lnf;
    juce::TextButton button ("b");
    button.setSize (100, 30);
    button.setColour (juce::ComboBox::outlineColourId, outline);

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto image = drawn (100, 30, backdrop, [&] (juce::Graphics& g)
                                  { lnf.drawButtonBackground (g, button, c.fill, c.highlighted, c.down); });

        EXPECT_THAT (image.getPixelAt (50, 15), NearColour (c.expectedCentre, 1));
        EXPECT_THAT (image.getPixelAt (50, 1), NearColour (outline, 40)) << "top edge of the pill";
        EXPECT_THAT (image.getPixelAt (1, 1), NearColour (backdrop, 10)) << "a pill has no square corners";
    }
}

TEST (OrvaneLNF, TextButtonFontIsBoldAndCappedAtFifteenPoints)
{
    const std::pair<int, float> cases[] = { { 20, 12.0f }, { 22, 14.0f }, { 23, 15.0f }, { 26, 15.0f }, { 44, 15.0f } };

    OrvaneLNF lnf;
    juce::TextButton button;
    for (const auto& [height, points] : cases)
    {
        const auto font = lnf.getTextButtonFont (button, height);
        EXPECT_FLOAT_EQ (font.getHeight(), points) << "button height " << height;
        EXPECT_TRUE (font.isBold());
    }
}

TEST (OrvaneLNF, ToggleIsASwitchWithItsThumbAtTheOnSide)
{
    struct Case { bool on; juce::Colour track, text; int thumbCentreX, bareTrackX; };
    // The track spans x 160..200 of a 200-pixel toggle; the thumb sits 2.5 or 21.5 in.
    const Case cases[] = { { true, palette::honey, palette::cream, 189, 166 },
                           { false, palette::hair, palette::dim, 170, 193 } };

    OrvaneLNF lnf;
    juce::ToggleButton toggle ("Muted");
    toggle.setSize (200, 26);

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.on ? "on" : "off");
        toggle.setToggleState (c.on, juce::dontSendNotification);
        const auto image = drawn (200, 26, palette::bgBot, [&] (juce::Graphics& g) { lnf.drawToggleButton (g, toggle, false, false); });

        EXPECT_THAT (image.getPixelAt (c.thumbCentreX, 13), NearColour (palette::cream, 2)) << "thumb";
        EXPECT_THAT (image.getPixelAt (c.bareTrackX, 13), NearColour (c.track, 2)) << "track";
        EXPECT_THAT (mostDistinctPixel (image, { 0, 0, 150, 26 }, palette::bgBot), NearColour (c.text, 12)) << "label text";
    }
}

TEST (OrvaneLNF, KnobPointerAndArcReachTheStartAndEndAngles)
{
    constexpr float start = 1.25f * juce::MathConstants<float>::pi;
    constexpr float end = 2.75f * juce::MathConstants<float>::pi;
    // A 90-pixel knob: centre (45, 45), radius 40; the pointer runs 10 to 29 pixels out.
    const auto alongPointer = [] (float angle)
    {
        const auto theta = angle - juce::MathConstants<float>::halfPi;
        return juce::Point<float> (45.0f + 20.0f * std::cos (theta), 45.0f + 20.0f * std::sin (theta)).roundToInt();
    };
    const juce::Point<int> topOfTrack (45, 9);

    struct Case { float proportion; float pointerAngle, otherEndAngle; juce::Colour topOfTrack; };
    const Case cases[] = { { 0.0f, start, end, palette::hair }, { 1.0f, end, start, palette::honey } };

    OrvaneLNF lnf;
    juce::Slider slider;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.proportion);
        const auto image = drawn (90, 90, palette::bgBot, [&] (juce::Graphics& g)
                                  { lnf.drawRotarySlider (g, 0, 0, 90, 90, c.proportion, start, end, slider); });

        const auto pointer = alongPointer (c.pointerAngle);
        const auto otherEnd = alongPointer (c.otherEndAngle);
        EXPECT_THAT (image.getPixelAt (pointer.x, pointer.y), NearColour (palette::honeyHi, 8));
        EXPECT_THAT (image.getPixelAt (otherEnd.x, otherEnd.y), Not (NearColour (palette::honeyHi, 40)));
        EXPECT_THAT (image.getPixelAt (topOfTrack.x, topOfTrack.y), NearColour (c.topOfTrack, 8));
    }
}

TEST (OrvaneLNF, SliderValueBoxIsBareCreamText)
{
    OrvaneLNF lnf;
    juce::Slider slider;
    std::unique_ptr<juce::Label> box (lnf.createSliderTextBox (slider));

    EXPECT_EQ (box->findColour (juce::Label::textColourId), palette::cream);
    EXPECT_EQ (box->findColour (juce::Label::outlineColourId).getAlpha(), 0);
    EXPECT_EQ (box->findColour (juce::Label::backgroundColourId).getAlpha(), 0);
    EXPECT_FLOAT_EQ (box->getFont().getHeight(), 13.0f);
    EXPECT_TRUE (box->getFont().isBold());
}

TEST (OrvaneLNF, TooltipOpensAwayFromTheCentreOfTheParentArea)
{
    struct Case { const char* where; juce::Point<int> mouse; bool opensLeft, opensUp; };
    const juce::Rectangle<int> parent (0, 0, 760, 544);
    const Case cases[] = { { "upper left", { 100, 100 }, false, false },
                           { "upper right", { 600, 100 }, true, false },
                           { "lower left", { 100, 400 }, false, true },
                           { "lower right", { 600, 400 }, true, true } };

    OrvaneLNF lnf;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.where);
        const auto tip = lnf.getTooltipBounds ("Bend range: how many semitones the pitch-bend wheel covers.", c.mouse, parent);

        EXPECT_EQ (tip.getX(), c.opensLeft ? c.mouse.x - tip.getWidth() - 12 : c.mouse.x + 14);
        EXPECT_EQ (tip.getY(), c.opensUp ? c.mouse.y - tip.getHeight() - 8 : c.mouse.y + 8);
    }
}

TEST (OrvaneLNF, TooltipNeverLeavesTheParentArea)
{
    struct Case { juce::Rectangle<int> parent; juce::Point<int> mouse; };
    const Case cases[] = { { { 0, 0, 760, 544 }, { 1, 1 } },       { { 0, 0, 760, 544 }, { 759, 543 } },
                           { { 0, 0, 760, 544 }, { 380, 540 } },   { { 200, 100, 300, 200 }, { 210, 290 } },
                           { { 0, 0, 120, 40 }, { 60, 20 } } };
    const juce::String longTip ("Vibrato amount (amplitude). Mapped to your mod wheel (CC1): the wheel sweeps it from off to deep in real time.");

    OrvaneLNF lnf;
    for (const auto& c : cases)
    {
        const auto tip = lnf.getTooltipBounds (longTip, c.mouse, c.parent);
        EXPECT_TRUE (c.parent.contains (tip)) << tip.toString() << " in " << c.parent.toString();
    }
}

TEST (OrvaneLNF, LongTooltipsWrapAt230PixelsWithAMargin)
{
    OrvaneLNF lnf;
    const auto longTip = lnf.getTooltipBounds ("Velocity sensitivity: how strongly playing dynamics map to loudness. Below 1 lifts soft notes; 0 plays every note at full strength.",
                                               { 10, 10 }, { 0, 0, 2000, 2000 });
    const auto shortTip = lnf.getTooltipBounds ("Muted", { 10, 10 }, { 0, 0, 2000, 2000 });

    EXPECT_LE (longTip.getWidth(), 230 + 22);
    EXPECT_GE (longTip.getHeight() - 16, 3 * (shortTip.getHeight() - 16)) << "several lines";
    EXPECT_LT (shortTip.getWidth(), 100);
    EXPECT_GT (shortTip.getWidth(), 22);
}

TEST (OrvaneLNF, TooltipIsARoundedPanelWithCreamText)
{
    OrvaneLNF lnf;
    const juce::String text ("Bend range");
    const auto size = lnf.getTooltipBounds (text, { 10, 10 }, { 0, 0, 800, 600 });
    const auto image = drawn (size.getWidth(), size.getHeight(), juce::Colours::transparentBlack,
                              [&] (juce::Graphics& g) { lnf.drawTooltip (g, text, size.getWidth(), size.getHeight()); });

    EXPECT_LT (image.getPixelAt (0, 0).getAlpha(), 0x80) << "rounded corner";
    EXPECT_THAT (image.getPixelAt (4, size.getHeight() - 5), NearColour (palette::panel.brighter (0.06f), 2));
    EXPECT_THAT (mostDistinctPixel (image, size.withZeroOrigin().reduced (11, 8), palette::panel.brighter (0.06f)),
                 NearColour (palette::cream, 12));
}
