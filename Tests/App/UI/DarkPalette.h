#pragma once
// A common dark desktop palette (Breeze Dark), for the tests and pictures
// that switch the application's palette live.

#include <QPalette>

inline QPalette darkPalette()
{
    QPalette palette;
    const QColor window(0x31, 0x36, 0x3b), text(0xef, 0xf0, 0xf1);
    for (QPalette::ColorRole role : {QPalette::Window, QPalette::Button, QPalette::AlternateBase})
        palette.setColor(role, window);
    palette.setColor(QPalette::Base, QColor(0x23, 0x26, 0x29));
    for (QPalette::ColorRole role :
         {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::HighlightedText})
        palette.setColor(role, text);
    palette.setColor(QPalette::Highlight, QColor(0x3d, 0xae, 0xe9));
    return palette;
}
