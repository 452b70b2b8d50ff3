// The program's images, by the role the window gives them, and the badge's digit glyphs.
#pragma once

#include <cstdint>

namespace kestrun {

// Qt resource paths (compiled in from resources.qrc).
constexpr const char* ICON_APP = ":/kestrun/app.xpm";                       // window and about box
constexpr const char* ICON_TRAY_NORMAL = ":/kestrun/tray-normal.xpm";       // 16 x 16
constexpr const char* ICON_TRAY_ALTERNATE = ":/kestrun/tray-alternate.xpm"; // 16 x 16, red "ok"
constexpr const char* BITMAP_BADGE_GROUND = ":/kestrun/badge-ground.xpm";   // 16 x 16, (4, 4, 4)

// The badge font: glyph d is 7 rows of 5 pixels, top row first, left column first;
// 1 = ink. The fifth column is blank in every glyph, so digits 5 pixels apart never touch.
constexpr int GLYPH_COLUMNS = 5;
constexpr int GLYPH_ROWS = 7;
extern const uint8_t DIGIT_GLYPHS[10][GLYPH_ROWS * GLYPH_COLUMNS];

} // namespace kestrun
