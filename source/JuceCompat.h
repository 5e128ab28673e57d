#pragma once

// The editor is written against the JUCE 8 font API. On JUCE 7 this header
// supplies the small part of it the editor uses, so the same code builds on
// both; on JUCE 8 it adds nothing.

#include <juce_graphics/juce_graphics.h>

#if JUCE_MAJOR_VERSION < 8
namespace juce
{
/** Font description as JUCE 8 spells it; converts to a juce::Font. */
class FontOptions
{
public:
    FontOptions() = default;
    explicit FontOptions (float fontHeight) : height (fontHeight) {}
    FontOptions (float fontHeight, int fontStyleFlags) : height (fontHeight), styleFlags (fontStyleFlags) {}

    FontOptions withHeight (float h) const          { auto o = *this; o.height = h; return o; }
    FontOptions withStyle (const String& s) const    { auto o = *this; o.styleName = s; return o; }
    FontOptions withKerningFactor (float k) const    { auto o = *this; o.kerning = k; return o; }
    FontOptions withName (const String& n) const     { auto o = *this; o.typefaceName = n; return o; }

    float getHeight() const noexcept                 { return height; }
    float getKerningFactor() const noexcept          { return kerning; }

    operator Font() const
    {
        Font f = typefaceName.isNotEmpty() ? Font (typefaceName, height, styleFlags) : Font (height, styleFlags);
        if (styleName.isNotEmpty())
            f.setTypefaceStyle (styleName);
        if (kerning != 0.0f)
            f.setExtraKerningFactor (kerning);
        return f;
    }

private:
    float height = 14.0f;
    int styleFlags = Font::plain;
    float kerning = 0.0f;
    String styleName, typefaceName;
};
} // namespace juce
#endif
