// Draws the product logo (a plucked string inside a round badge) and writes
// it as the 1800 x 1800 PNG that the plug-in embeds.
//   marlune-make-logo resources/MarluneLogo.png

#include <juce_graphics/juce_graphics.h>
#include <juce_events/juce_events.h>

namespace
{
    constexpr int logoSize = 1800;

    const juce::Colour honey (0xFFE0A35A), honeyHi (0xFFF4C883), panel (0xFF2B2318), bgBot (0xFF17120D), cream (0xFFF3ECDF);

    juce::Path stringPath (juce::Rectangle<float> area)
    {
        juce::Path p;
        const int points = 240;
        for (int i = 0; i <= points; ++i)
        {
            const float t = (float) i / (float) points;
            const float x = area.getX() + t * area.getWidth();
            const float y = area.getCentreY()
                          + area.getHeight() * 0.5f * std::sin (9.0f * t * juce::MathConstants<float>::pi)
                                                    * std::sin (t * juce::MathConstants<float>::pi);
            if (i == 0) p.startNewSubPath (x, y); else p.lineTo (x, y);
        }
        return p;
    }

    juce::Image drawLogo()
    {
        juce::Image image (juce::Image::ARGB, logoSize, logoSize, true);
        juce::Graphics g (image);
        const auto full = image.getBounds().toFloat();
        const auto badge = full.reduced (60.0f);

        g.setGradientFill ({ panel.brighter (0.25f), badge.getCentreX(), badge.getY(),
                             bgBot, badge.getCentreX(), badge.getBottom(), false });
        g.fillEllipse (badge);

        g.setColour (honey);
        g.drawEllipse (badge.reduced (30.0f), 48.0f);

        const auto wave = badge.reduced (300.0f, 560.0f);
        const auto path = stringPath (wave);
        g.setColour (honey.withAlpha (0.25f));
        g.strokePath (path, juce::PathStrokeType (120.0f, juce::PathStrokeType::curved, juce::PathStrokeType::rounded));
        g.setColour (honeyHi);
        g.strokePath (path, juce::PathStrokeType (54.0f, juce::PathStrokeType::curved, juce::PathStrokeType::rounded));

        g.setColour (cream);
        for (auto x : { wave.getX(), wave.getRight() })
            g.fillEllipse (juce::Rectangle<float> (90.0f, 90.0f).withCentre ({ x, wave.getCentreY() }));

        return image;
    }
}

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juce;
    const juce::File target = argc > 1 ? juce::File::getCurrentWorkingDirectory().getChildFile (argv[1])
                                       : juce::File::getCurrentWorkingDirectory().getChildFile ("MarluneLogo.png");
    target.deleteFile();
    juce::FileOutputStream out (target);
    if (! out.openedOk() || ! juce::PNGImageFormat().writeImageToStream (drawLogo(), out))
    {
        std::fprintf (stderr, "could not write %s\n", target.getFullPathName().toRawUTF8());
        return 1;
    }
    std::printf ("wrote %s\n", target.getFullPathName().toRawUTF8());
    return 0;
}
