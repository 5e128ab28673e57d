#include "OrvaneLibraryRail.h"

namespace
{
    constexpr int firstRowTop = 40;
    constexpr int rowPitch = 56;

    int rowOffset (int row) { return rowPitch * row; }
}

OrvaneLibraryRail::OrvaneLibraryRail (MarluneInstrumentProcessor& p) : processor (p) {}

int OrvaneLibraryRail::rowAt (int y) const
{
    if (y < firstRowTop)
        return -1;

    const auto row = (y - firstRowTop) / rowPitch;
    return row < (int) processor.getLibrary().size() ? row : -1;
}

void OrvaneLibraryRail::mouseMove (const juce::MouseEvent& e)
{
    const auto row = rowAt (e.getPosition().y);
    if (row == hoverRow)
        return;

    hoverRow = row;
    repaint();
}

void OrvaneLibraryRail::mouseExit (const juce::MouseEvent&)
{
    if (hoverRow < 0)
        return;

    hoverRow = -1;
    repaint();
}

void OrvaneLibraryRail::mouseUp (const juce::MouseEvent& e)
{
    const auto row = rowAt (e.getPosition().y);
    if (row < 0)
        return;

    const auto library = processor.getLibrary();
    if (row >= (int) library.size())
        return; // the list shrank between the two copies

    const auto& slug = library[(size_t) row].slug;
    bool changed = false;
    {
        const juce::ScopedLock sl (processor.libraryLock);
        if (processor.selectedPmi != slug)
        {
            processor.selectedPmi = slug;
            changed = true;
        }
    }

    if (changed)
        ++processor.libraryVersion;

    if (onSelect)
        onSelect();

    repaint();
}

void OrvaneLibraryRail::paint (juce::Graphics& g)
{
    const auto w = getWidth();
    const auto h = getHeight();

    g.fillAll (palette::railBg);

    if (h > 0)
    {
        g.setColour (palette::hair);
        g.fillRect (w - 1, 0, 1, h);
    }

    g.setColour (palette::dim);
    g.setFont (juce::FontOptions (10.5f, juce::Font::bold).withKerningFactor (0.3f));
    g.drawText ("LIBRARY", juce::Rectangle<int> (16, 0, w - 24, firstRowTop), juce::Justification::centredLeft, true);

    const auto library = processor.getLibrary();
    if (library.empty())
    {
        g.setColour (palette::dim.withAlpha ((juce::uint8) 0xB2));
        g.setFont (juce::FontOptions (12.0f, juce::Font::plain));
        g.drawText ("Loading your library...", juce::Rectangle<int> (16, firstRowTop, w - 24, 30),
                    juce::Justification::topLeft, true);
        return;
    }

    const auto selected = processor.getSelectedPmi();
    for (size_t i = 0; i < library.size(); ++i)
        paintRow (g, (int) i, library[i], library[i].slug == selected);

    const auto afterRows = rowOffset ((int) library.size());

    if (w - 14 > 20)
    {
        g.setColour (palette::hair);
        g.fillRect (20, 54 + afterRows, w - 34, 1);
    }

    g.setColour (palette::dim.withAlpha ((juce::uint8) 0xA6));
    g.setFont (juce::Font (juce::FontOptions (11.0f, juce::Font::plain)).italicised());
    g.drawText ("More instruments coming soon", juce::Rectangle<int> (20, 66 + afterRows, w - 28, 18),
                juce::Justification::topLeft, true);
}

void OrvaneLibraryRail::paintRow (juce::Graphics& g, int row, const MarluneInstrumentProcessor::PmiInfo& info,
                                  bool selected) const
{
    const auto w = getWidth();
    const auto dy = rowOffset (row);
    const juce::Rectangle<float> card (8.0f, (float) (44 + dy), (float) juce::jmax (0, w - 16), 48.0f);
    constexpr float cardCorner = 9.0f;

    auto nameColour = palette::cream.withAlpha ((juce::uint8) 0xD9);
    auto descriptionColour = palette::dim;

    if (selected)
    {
        g.setColour (palette::honey.withAlpha ((juce::uint8) 0x21));
        g.fillRoundedRectangle (card, cardCorner);
        g.setColour (palette::honey.withAlpha ((juce::uint8) 0x59));
        g.drawRoundedRectangle (card, cardCorner, 1.0f);
        g.setColour (palette::honey);
        g.fillRoundedRectangle (10.0f, (float) (52 + dy), 3.0f, 32.0f, 1.5f);

        nameColour = palette::cream;
        descriptionColour = palette::honeyHi.withAlpha ((juce::uint8) 0xD9);
    }
    else if (row == hoverRow)
    {
        g.setColour (palette::cream.withAlpha ((juce::uint8) 0x0F));
        g.fillRoundedRectangle (card, cardCorner);
    }

    g.setColour (nameColour);
    g.setFont (juce::FontOptions (14.0f, juce::Font::bold));
    g.drawText (info.name, juce::Rectangle<int> (20, 49 + dy, w - 32, 18), juce::Justification::topLeft, true);

    g.setColour (descriptionColour);
    g.setFont (juce::FontOptions (11.0f, juce::Font::plain));
    g.drawText (info.description.isEmpty() ? juce::String ("Ready") : info.description,
                juce::Rectangle<int> (20, 69 + dy, w - 32, 16), juce::Justification::topLeft, true);
}
