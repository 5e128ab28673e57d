#include "EditorTestSupport.h"

using namespace marlune::editortest;

namespace
{
    class InstrumentPanelTest : public EditorFixture
    {
    protected:
        void TearDown() override
        {
            panel.reset();
            EditorFixture::TearDown();
        }

        OrvaneInstrumentPanel& makePanel()
        {
            panel = std::make_unique<OrvaneInstrumentPanel> (*processor);
            panel->setSize (514, 450);
            return *panel;
        }

        template <typename T>
        T& child (const char* id) { return childById<T> (*panel, id); }

        std::unique_ptr<OrvaneInstrumentPanel> panel;
    };

    using S = Processor::State;
}

TEST_F (InstrumentPanelTest, CaptureButtonFollowsTheProcessorState)
{
    struct Case { juce::int32 state; const char* text; juce::Colour fill, outline, textColour; bool armEnabled, clearEnabled; };
    const Case cases[] = {
        { S::Idle, "ARM CAPTURE", juce::Colours::transparentBlack, palette::honey, palette::honeyHi, true, true },
        { S::Armed, "ARMED - PLAY", palette::terra, palette::terra, palette::cream, true, true },
        { S::Capturing, "CAPTURING", palette::terra.darker (0.1f), palette::terra, palette::cream, true, true },
        { S::Rendering, "RENDERING", palette::panel, palette::hair, palette::dim, false, false },
        { S::Error, "ARM CAPTURE", juce::Colours::transparentBlack, palette::honey, palette::honeyHi, true, true },
    };

    giveRegions (1);
    makePanel();
    auto& arm = child<juce::TextButton> ("armButton");
    auto& clear = child<juce::TextButton> ("clearButton");
    auto& reset = child<juce::TextButton> ("resetButton");

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.text);
        processor->state.store (c.state);
        panel->refresh();

        EXPECT_EQ (arm.getButtonText(), c.text);
        EXPECT_EQ (arm.findColour (juce::TextButton::buttonColourId), c.fill);
        EXPECT_EQ (arm.findColour (juce::ComboBox::outlineColourId), c.outline);
        EXPECT_EQ (arm.findColour (juce::TextButton::textColourOffId), c.textColour);
        EXPECT_EQ (arm.isEnabled(), c.armEnabled);
        EXPECT_EQ (clear.isEnabled(), c.clearEnabled);
        EXPECT_TRUE (reset.isEnabled());

        // On screen: the pill's fill just inside its top edge, over the panel surface above it.
        const auto image = snapshotOf (*panel);
        const auto surface = image.getPixelAt (257, 108);
        EXPECT_THAT (image.getPixelAt (257, 124), NearColour (c.fill.isTransparent() ? surface : c.fill, 2));
        EXPECT_THAT (image.getPixelAt (257, 117), NearColour (c.outline, 40)) << "outline";
    }
}

TEST_F (InstrumentPanelTest, TakesLineCountsTheRegions)
{
    const std::tuple<int, const char*, bool> cases[] = { { 0, "no takes yet", false },
                                                         { 1, "1 take captured", true },
                                                         { 3, "3 takes captured", true } };
    makePanel();
    for (const auto& [regions, text, clearEnabled] : cases)
    {
        giveRegions (regions);
        panel->refresh();
        EXPECT_EQ (child<juce::Label> ("takesLabel").getText(), text);
        EXPECT_EQ (child<juce::TextButton> ("clearButton").isEnabled(), clearEnabled) << text;
    }
}

TEST_F (InstrumentPanelTest, ButtonsDriveCaptureAndShowTheOutcomeAtOnce)
{
    struct Case
    {
        const char* button;
        juce::int32 stateBefore;
        int regionsBefore;
        juce::int32 stateAfter;
        const char* status;
        int regionsAfter;
    };
    const Case cases[] = {
        { "armButton", S::Idle, 0, S::Armed, "Armed - play through the segment to capture.", 0 },
        { "armButton", S::Error, 2, S::Armed, "Armed - play through the segment to capture.", 2 },
        { "armButton", S::Rendering, 0, S::Rendering, "untouched", 0 },  // disabled
        { "resetButton", S::Rendering, 1, S::Idle, "Idle - arm, then play a segment to capture.", 1 },
        { "clearButton", S::Idle, 3, S::Idle, "Cleared all takes.", 0 },
        { "clearButton", S::Rendering, 3, S::Rendering, "untouched", 3 },  // disabled
    };

    makePanel();
    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.button) + " from state " + juce::String (c.stateBefore));
        processor->state.store (c.stateBefore);
        giveRegions (c.regionsBefore);
        processor->setStatus ("untouched");
        panel->refresh();

        click (child<juce::TextButton> (c.button));

        EXPECT_EQ (processor->state.load(), c.stateAfter);
        EXPECT_EQ (processor->getStatus(), c.status);
        EXPECT_EQ (processor->getNumRegions(), c.regionsAfter);
        EXPECT_EQ (child<juce::Label> ("statusLabel").getText(), c.status) << "refreshed at once";
    }
}

TEST_F (InstrumentPanelTest, ArmingResetsStreamingOnlyWhenStreaming)
{
    for (const bool streaming : { true, false })
    {
        SCOPED_TRACE (streaming);
        processor->streamWhileRecording = streaming;
        processor->jobsDispatched = 7;
        makePanel();

        click (child<juce::TextButton> ("armButton"));

        EXPECT_EQ (processor->jobsDispatched.load(), streaming ? 0 : 7);
    }
}

TEST_F (InstrumentPanelTest, NewPanelShowsTheCurrentSettings)
{
    struct Settings { float velocity, bend, vibrato, speed; bool hear, muted; };
    for (const auto& s : { Settings { 1.0f, 2.0f, 0.0f, 5.0f, true, false },     // the defaults
                           Settings { 0.25f, 3.5f, 0.62f, 11.2f, false, true } })
    {
        SCOPED_TRACE (s.velocity);
        processor->velocityCurve = s.velocity;
        processor->bendRange = s.bend;
        processor->vibratoAmount = s.vibrato;
        processor->vibratoSpeedHz = s.speed;
        processor->playRegions = s.hear;
        processor->muted = s.muted;
        makePanel();

        EXPECT_NEAR (child<juce::Slider> ("velocitySlider").getValue(), s.velocity, 1e-6);
        EXPECT_NEAR (child<juce::Slider> ("bendSlider").getValue(), s.bend, 1e-6);
        EXPECT_NEAR (child<juce::Slider> ("vibratoSlider").getValue(), s.vibrato * 100.0, 1e-4);
        EXPECT_NEAR (child<juce::Slider> ("speedSlider").getValue(), s.speed, 1e-4);
        EXPECT_EQ (child<juce::ToggleButton> ("hearToggle").getToggleState(), s.hear);
        EXPECT_EQ (child<juce::ToggleButton> ("mutedToggle").getToggleState(), s.muted);
        EXPECT_EQ (processor->vibratoAmount.load(), s.vibrato) << "building the panel writes nothing";
    }
}

TEST_F (InstrumentPanelTest, KnobsWriteTheirSettings)
{
    struct Case { const char* knob; double turnedTo; std::atomic<float> Processor::*setting; float stored; };
    const Case cases[] = {
        { "vibratoSlider", 40.0, &Processor::vibratoAmount, 0.4f },
        { "vibratoSlider", 100.0, &Processor::vibratoAmount, 1.0f },
        { "bendSlider", 2.3, &Processor::bendRange, 2.5f },          // steps of 0.5
        { "bendSlider", 9.0, &Processor::bendRange, 4.0f },
        { "speedSlider", 7.34, &Processor::vibratoSpeedHz, 7.3f },
        { "velocitySlider", 0.257, &Processor::velocityCurve, 0.26f },
    };

    makePanel();
    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.knob) + " " + juce::String (c.turnedTo));
        child<juce::Slider> (c.knob).setValue (c.turnedTo, juce::sendNotificationSync);
        EXPECT_NEAR (((*processor).*(c.setting)).load(), c.stored, 1e-5);
    }
}

TEST_F (InstrumentPanelTest, KnobRangesSuffixesAndSpeedSkew)
{
    struct Case { const char* knob; double minimum, maximum, step; const char* suffix; double middle; };
    const Case cases[] = {
        { "velocitySlider", 0.0, 3.0, 0.01, "", 1.5 },
        { "bendSlider", 0.5, 4.0, 0.5, " st", 2.25 },
        { "vibratoSlider", 0.0, 100.0, 1.0, " %", 50.0 },
        { "speedSlider", 0.1, 15.0, 0.1, " Hz", 5.0 },
    };

    makePanel();
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.knob);
        auto& knob = child<juce::Slider> (c.knob);
        EXPECT_DOUBLE_EQ (knob.getMinimum(), c.minimum);
        EXPECT_DOUBLE_EQ (knob.getMaximum(), c.maximum);
        EXPECT_DOUBLE_EQ (knob.getInterval(), c.step);
        EXPECT_EQ (knob.getTextValueSuffix(), c.suffix);
        EXPECT_NEAR (knob.proportionOfLengthToValue (0.5), c.middle, 1e-6);
        EXPECT_TRUE (knob.isRotary());
        EXPECT_NEAR (knob.getRotaryParameters().startAngleRadians, 1.25 * juce::MathConstants<double>::pi, 1e-5);
        EXPECT_NEAR (knob.getRotaryParameters().endAngleRadians, 2.75 * juce::MathConstants<double>::pi, 1e-5);
    }
}

TEST_F (InstrumentPanelTest, SwitchesWriteTheirSettingsWhenClicked)
{
    makePanel();

    click (child<juce::ToggleButton> ("hearToggle"));
    click (child<juce::ToggleButton> ("mutedToggle"));
    EXPECT_FALSE (processor->playRegions.load());
    EXPECT_TRUE (processor->muted.load());

    click (child<juce::ToggleButton> ("hearToggle"));
    EXPECT_TRUE (processor->playRegions.load());
}

TEST_F (InstrumentPanelTest, KnobsCaptionsAndSwitchesCarryTooltips)
{
    makePanel();
    const std::pair<const char*, const char*> knobsAndCaptions[] = { { "velocitySlider", "velocityLabel" },
                                                                     { "bendSlider", "bendLabel" },
                                                                     { "vibratoSlider", "vibratoLabel" },
                                                                     { "speedSlider", "speedLabel" } };
    for (const auto& [knob, caption] : knobsAndCaptions)
    {
        EXPECT_TRUE (child<juce::Slider> (knob).getTooltip().isNotEmpty()) << knob;
        EXPECT_EQ (child<juce::Label> (caption).getTooltip(), child<juce::Slider> (knob).getTooltip()) << caption;
    }
    EXPECT_TRUE (child<juce::ToggleButton> ("hearToggle").getTooltip().isNotEmpty());
    EXPECT_TRUE (child<juce::ToggleButton> ("mutedToggle").getTooltip().isNotEmpty());
}

TEST_F (InstrumentPanelTest, LayoutAtTheEditorsPanelSize)
{
    makePanel();
    const std::pair<const char*, juce::Rectangle<int>> cases[] = {
        { "armButton", { 150, 116, 214, 52 } },   { "statusLabel", { 20, 180, 474, 22 } },
        { "takesLabel", { 20, 202, 474, 16 } },   { "mutedToggle", { 28, 218, 150, 26 } },
        { "hearToggle", { 276, 218, 210, 26 } },  { "velocitySlider", { 40, 288, 72, 90 } },
        { "bendSlider", { 160, 288, 72, 90 } },   { "vibratoSlider", { 280, 288, 72, 90 } },
        { "speedSlider", { 400, 288, 72, 90 } },  { "speedLabel", { 376, 270, 120, 14 } },
        { "resetButton", { 16, 416, 78, 26 } },   { "clearButton", { 102, 416, 78, 26 } },
        { "chip", { 358, 416, 140, 26 } },
    };
    for (const auto& [id, bounds] : cases)
        EXPECT_EQ (childById<juce::Component> (*panel, id).getBounds(), bounds) << id;
}

TEST_F (InstrumentPanelTest, StringColourFollowsStateAndTakes)
{
    struct Case { juce::int32 state; int regions; juce::Colour expected; };
    const Case cases[] = { { S::Idle, 0, palette::honey }, { S::Idle, 2, palette::sage }, { S::Error, 0, palette::honey },
                           { S::Armed, 0, palette::terra }, { S::Capturing, 1, palette::terra },
                           { S::Rendering, 1, palette::honeyHi } };
    const juce::Colour candidates[] = { palette::honey, palette::sage, palette::terra, palette::honeyHi };

    makePanel();
    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.state) + " with " + juce::String (c.regions));
        processor->state.store (c.state);
        giveRegions (c.regions);
        panel->tick();

        const auto stroke = mostDistinctPixel (snapshotOf (*panel), { 120, 62, 2, 44 }, juce::Colours::transparentBlack);
        const auto closest = *std::min_element (std::begin (candidates), std::end (candidates),
                                                [&] (auto a, auto b) { return colourDistance (stroke, a) < colourDistance (stroke, b); });
        EXPECT_EQ (closest, c.expected) << stroke.toDisplayString (true);
    }
}

TEST_F (InstrumentPanelTest, TitleNamesTheSelectedInstrument)
{
    giveLibrary (threeInstruments());
    select ("cello");
    makePanel();
    const auto cello = snapshotOf (*panel);

    select ("not-in-library");
    const auto unknown = snapshotOf (*panel);
    giveLibrary ({ { "x", "Instrument", "" } });
    select ("x");
    const auto literal = snapshotOf (*panel);

    const juce::Rectangle<int> titleArea (24, 18, 466, 22);
    EXPECT_FALSE (imagesEqual (cello.getClippedImage (titleArea), unknown.getClippedImage (titleArea)));
    EXPECT_TRUE (imagesEqual (unknown.getClippedImage (titleArea), literal.getClippedImage (titleArea)))
        << "an unknown selection reads \"Instrument\"";
}
