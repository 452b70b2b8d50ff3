// Dialog units: the window is laid out in units of the font's average character width / 4
// and height / 8, so it keeps its proportions at whatever font size the user has chosen.
#pragma once

#include <QFont>
#include <QRect>

namespace kestrun {

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(int baseX, int baseY) : baseX_(baseX), baseY_(baseY) {}

    int X(int units) const; // horizontal units to pixels, rounded
    int Y(int units) const; // vertical units to pixels, rounded
    QRect Rect(int x, int y, int width, int height) const;

    int baseX() const { return baseX_; }
    int baseY() const { return baseY_; }

private:
    int baseX_; // average character width in pixels
    int baseY_; // character height in pixels
};

} // namespace kestrun
