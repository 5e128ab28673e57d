#include "OrvaneDragChip.h"

OrvaneDragChip::OrvaneDragChip (MarluneInstrumentProcessor& p) : processor (p) {}

bool OrvaneDragChip::isTakeFile (const juce::String& path)
{
    return juce::File::isAbsolutePath (path) && juce::File (path).existsAsFile();
}

void OrvaneDragChip::setHasTake (bool nowHasTake)
{
    if (nowHasTake == hasTake)
        return;

    hasTake = nowHasTake;
    repaint();
}

void OrvaneDragChip::paint (juce::Graphics& g)
{
    const juce::Rectangle<float> r (1.5f, 1.5f, juce::jmax (0.0f, (float) getWidth() - 3.0f),
                                    juce::jmax (0.0f, (float) getHeight() - 3.0f));
    const auto corner = r.getHeight() * 0.5f;

    if (hasTake)
    {
        g.setColour (palette::sage.withAlpha ((juce::uint8) 0x1A));
        g.fillRoundedRectangle (r, corner);
    }

    juce::Path pill;
    pill.addRoundedRectangle (r, corner);

    juce::Path dashedOutline;
    const float dashLengths[] = { 4.0f, 3.0f };
    juce::PathStrokeType (1.2f, juce::PathStrokeType::mitered, juce::PathStrokeType::butt)
        .createDashedStroke (dashedOutline, pill, dashLengths, juce::numElementsInArray (dashLengths));

    g.setColour (hasTake ? palette::sage.withAlpha ((juce::uint8) 0xB2) : palette::hair);
    g.fillPath (dashedOutline);

    g.setColour (hasTake ? palette::sage : palette::dim.withAlpha ((juce::uint8) 0xB2));
    g.setFont (juce::FontOptions (11.5f, juce::Font::plain));
    g.drawText (hasTake ? "drag last take" : "no take yet", getLocalBounds(), juce::Justification::centred, true);
}

void OrvaneDragChip::mouseDown (const juce::MouseEvent&)
{
    dragStarted = false;
}

void OrvaneDragChip::mouseDrag (const juce::MouseEvent&)
{
    if (! hasTake || dragStarted)
        return;

    // The file may have gone since the last refresh.
    const auto path = processor.getLastTakeFile();
    if (! isTakeFile (path))
        return;

    dragStarted = true;
    startExternalDrag (juce::StringArray (path), this);
}
