#pragma once

#include <QFont>

// Type sizes are given in points of the window's coordinate system, which Qt calls device-independent pixels;
// pixel sizes keep them equal on every platform whatever its screen resolution setting.
namespace Typography {

// The UI font at `size` with `weight`; heavy controls use QFont::ExtraBold.
QFont font(int size, QFont::Weight weight = QFont::Normal);
inline QFont heavy(int size)
{
    return font(size, QFont::ExtraBold);
}

// Picks the application font once at start-up. Where the platform's default font has no Chinese glyphs
// (Linux without a configured CJK fallback), a Noto CJK family is chosen when installed.
void installApplicationFont();

} // namespace Typography
