#include "OrvaneEditor.h"

#include "BinaryData.h"

namespace
{
    constexpr int editorWidth = 760;
    constexpr int editorHeight = 544;
    constexpr int pollPeriodMs = 33;
    constexpr int headerHeight = 62;
    constexpr int maxRailWidth = 214;
    constexpr int cardWidth = 430;
    constexpr int cardHeight = 312;
    constexpr float cardCorner = 22.0f;

    juce::Image loadLogo()
    {
        int size = 0;
        if (const auto* data = BinaryData::getNamedResource ("MarluneLogo_png", size))
            return juce::ImageCache::getFromMemory (data, size);

        return {};
    }

    /** Top-left corner of the sign-in card, centred below the header. */
    juce::Point<int> cardOrigin (int w, int h)
    {
        return { w / 2 - cardWidth / 2, (h - headerHeight) / 2 - 94 };
    }

    void drawLogoInto (juce::Graphics& g, const juce::Image& logo, juce::Rectangle<float> box)
    {
        if (logo.isValid())
            g.drawImage (logo, box, juce::RectanglePlacement::centred);
    }
}

//==============================================================================
OrvaneTooltipWindow::OrvaneTooltipWindow (juce::Component& parent, int delayMs)
    : juce::TooltipWindow (&parent, delayMs)
{
    // The tip is a rounded panel: its corners must show the editor behind it.
    setOpaque (false);
}

OrvaneTooltipWindow::~OrvaneTooltipWindow()
{
    setLookAndFeel (nullptr);
}

juce::String OrvaneTooltipWindow::getTipFor (juce::Component& c)
{
    // Only components inside the editor: their look-and-feels outlive this window.
    if (auto* parent = getParentComponent(); parent != nullptr && &c != this && parent->isParentOf (&c))
        setLookAndFeel (&c.getLookAndFeel());

    return juce::TooltipWindow::getTipFor (c);
}

void OrvaneTooltipWindow::forgetLookAndFeel()
{
    hideTip();
    setLookAndFeel (nullptr);
}

//==============================================================================
MarluneOrvaneEditor::MarluneOrvaneEditor (MarluneInstrumentProcessor& p)
    : juce::AudioProcessorEditor (p), processor (p), rail (p)
{
    setLookAndFeel (&lnf);
    logo = loadLogo();

    addChildComponent (rail);
    rail.onSelect = [this] { syncToState(); };

    addChildComponent (emptyLabel);
    emptyLabel.setJustificationType (juce::Justification::centred);
    emptyLabel.setColour (juce::Label::textColourId, palette::dim);
    emptyLabel.setFont (juce::FontOptions (14.0f, juce::Font::plain));
    emptyLabel.setText ("Select an instrument from the library.", juce::dontSendNotification);

    addChildComponent (signOutButton);
    signOutButton.setColour (juce::TextButton::buttonColourId, juce::Colours::transparentBlack);
    signOutButton.setColour (juce::ComboBox::outlineColourId, palette::hair);
    signOutButton.setColour (juce::TextButton::textColourOffId, palette::dim);
    signOutButton.onClick = [this] { signOut(); };

    addChildComponent (signInButton);
    signInButton.setColour (juce::TextButton::buttonColourId, palette::honey);
    signInButton.setColour (juce::ComboBox::outlineColourId, palette::honey);
    signInButton.setColour (juce::TextButton::textColourOffId, palette::bgBot);
    signInButton.onClick = [this] { processor.signIn(); };

    rail.setComponentID ("rail");
    emptyLabel.setComponentID ("emptyLabel");
    signOutButton.setComponentID ("signOutButton");
    signInButton.setComponentID ("signInButton");

    setSize (editorWidth, editorHeight);
    startTimer (pollPeriodMs);
    syncToState();
}

MarluneOrvaneEditor::~MarluneOrvaneEditor()
{
    stopTimer();
    setLookAndFeel (nullptr);
}

void MarluneOrvaneEditor::signOut()
{
    processor.signOut();
    syncToState();
}

void MarluneOrvaneEditor::syncToState()
{
    const auto signedIn = processor.isSignedIn();
    lastSignedIn = signedIn;
    lastLibraryVersion = processor.libraryVersion.load();

    signInButton.setVisible (! signedIn);
    signOutButton.setVisible (signedIn);
    rail.setVisible (signedIn);

    if (signedIn && ! processor.getLibrary().empty())
    {
        const auto slug = processor.getSelectedPmi();

        if (instrumentPanel == nullptr || panelSlug != slug)
        {
            panelSlug = slug;
            auto previous = std::exchange (instrumentPanel, std::make_unique<OrvaneInstrumentPanel> (processor));
            addAndMakeVisible (*instrumentPanel);
            resized();

            if (previous != nullptr)
                tooltipWindow.forgetLookAndFeel();
        }

        instrumentPanel->setVisible (true);
        emptyLabel.setVisible (false);
    }
    else
    {
        if (instrumentPanel != nullptr)
            instrumentPanel->setVisible (false);

        emptyLabel.setVisible (signedIn);
    }

    resized();
    repaint();
}

void MarluneOrvaneEditor::timerCallback()
{
    if (processor.isSignedIn() != lastSignedIn || processor.libraryVersion.load() != lastLibraryVersion)
        syncToState();

    if (instrumentPanel != nullptr && instrumentPanel->isVisible())
        instrumentPanel->tick();
}

void MarluneOrvaneEditor::resized()
{
    const auto w = getWidth();
    const auto h = getHeight();

    signOutButton.setBounds (w - 100, 17, 84, 28);

    if (processor.isSignedIn())
    {
        const auto r = juce::jmin (w, maxRailWidth);
        rail.setBounds (0, headerHeight, r, h - headerHeight);

        const juce::Rectangle<int> area (r + 16, 78, juce::jmax (0, w - r - 32), juce::jmax (0, h - 94));
        if (instrumentPanel != nullptr)
            instrumentPanel->setBounds (area);
        emptyLabel.setBounds (area);
    }
    else
    {
        signInButton.setBounds (w / 2 - 145, (h - headerHeight) / 2 + 144, 290, 44);
    }
}

void MarluneOrvaneEditor::paint (juce::Graphics& g)
{
    paintHeader (g);

    if (! processor.isSignedIn())
        paintSignInCard (g);
}

void MarluneOrvaneEditor::paintHeader (juce::Graphics& g) const
{
    const auto w = (float) getWidth();
    const auto h = (float) getHeight();

    g.setGradientFill (juce::ColourGradient (palette::bgTop, w * 0.5f, 0.0f, palette::bgBot, w * 0.5f, h, false));
    g.fillAll();

    g.setGradientFill (juce::ColourGradient (juce::Colours::transparentBlack, w * 0.5f, h * 0.42f,
                                             juce::Colours::black.withAlpha ((juce::uint8) 0x47), w * 0.5f, h, true));
    g.fillAll();

    g.setColour (palette::railBg.withAlpha ((juce::uint8) 0x99));
    g.fillRect (0.0f, 0.0f, w, (float) headerHeight);

    if (getWidth() > 0)
    {
        g.setColour (palette::hair);
        g.fillRect (0, headerHeight - 1, getWidth(), 1);
    }

    g.setGradientFill (juce::ColourGradient (palette::honey.withAlpha ((juce::uint8) 0x33), 0.0f, (float) headerHeight,
                                             juce::Colours::transparentBlack, 0.0f, (float) headerHeight + 10.0f, false));
    g.fillRect (0.0f, (float) headerHeight, w, 10.0f);

    drawLogoInto (g, logo, { 14.0f, 12.0f, 38.0f, 38.0f });

    g.setColour (palette::cream);
    g.setFont (juce::FontOptions (20.0f, juce::Font::bold).withKerningFactor (0.2f));
    g.drawText ("MARLUNE", juce::Rectangle<int> (58, 14, 240, 22), juce::Justification::centredLeft, true);

    g.setColour (palette::honey.withAlpha ((juce::uint8) 0xE6));
    g.setFont (juce::FontOptions (9.5f, juce::Font::bold).withKerningFactor (0.3f));
    g.drawText ("PMI ORVANE", juce::Rectangle<int> (59, 37, 240, 12), juce::Justification::centredLeft, true);
}

void MarluneOrvaneEditor::paintSignInCard (juce::Graphics& g) const
{
    const auto origin = cardOrigin (getWidth(), getHeight());
    const auto cx = (float) origin.x;
    const auto cy = (float) origin.y;

    juce::Path card;
    card.addRoundedRectangle (cx, cy, (float) cardWidth, (float) cardHeight, cardCorner);

    juce::DropShadow (juce::Colours::black.withAlpha ((juce::uint8) 0x66), 34, {}).drawForPath (g, card);

    g.setGradientFill (juce::ColourGradient (palette::panel.brighter (0.05f), cx, cy,
                                             palette::panel.darker (0.18f), cx, cy + (float) cardHeight, false));
    g.fillPath (card);

    g.setColour (palette::honey.withAlpha ((juce::uint8) 0x38));
    g.drawRoundedRectangle (cx + 0.5f, cy + 0.5f, (float) cardWidth - 1.0f, (float) cardHeight - 1.0f, cardCorner, 1.0f);

    drawLogoInto (g, logo, juce::Rectangle<int> (origin.x + 188, origin.y + 38, 54, 54).toFloat());

    g.setColour (palette::cream);
    g.setFont (juce::FontOptions (21.0f, juce::Font::bold));
    g.drawText ("Sign in to load your instruments", juce::Rectangle<int> (origin.x, origin.y + 112, cardWidth, 28),
                juce::Justification::centredTop, true);

    g.setColour (palette::dim);
    g.setFont (juce::FontOptions (13.0f, juce::Font::plain));
    g.drawFittedText ("Your library and rendering live in the Marlune cloud.\nSign in with Google to begin.",
                      juce::Rectangle<int> (origin.x + 30, origin.y + 148, 370, 42),
                      juce::Justification::centredTop, 2, 0.0f);
}
