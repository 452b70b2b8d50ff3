// The tray icon: the digit font and the badge against a font written out here, the
// images as compiled in, the blink tick by tick, and the clicks and menu that reach the
// window. Runs on the offscreen platform, where there is no tray host.
#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include <vector>

#include "Resources.h"
#include "TrayIcon.h"

using namespace kestrun;
using Image = CTrayIcon::Image;

namespace {

// The badge font as the design prints it, written independently of DIGIT_GLYPHS.
const char* const FONT[10][7] = {
    {".XX..", "X..X.", "X..X.", "X..X.", "X..X.", "X..X.", ".XX.."},
    {"..X..", ".XX..", "..X..", "..X..", "..X..", "..X..", ".XXX."},
    {".XX..", "X..X.", "...X.", "...X.", "..X..", ".X...", "XXXX."},
    {"XXX..", "...X.", "...X.", ".XX..", "...X.", "...X.", "XXX.."},
    {"..X..", ".XX..", "X.X..", "X.X..", "XXXX.", "..X..", "..X.."},
    {"XXXX.", "X....", "XXX..", "...X.", "...X.", "...X.", "XXX.."},
    {".XXX.", "X....", "XXX..", "X..X.", "X..X.", "X..X.", ".XX.."},
    {"XXXX.", "...X.", "..X..", "..X..", "..X..", ".X...", ".X..."},
    {".XX..", "X..X.", "X..X.", ".XX..", "X..X.", "X..X.", ".XX.."},
    {".XX..", "X..X.", "X..X.", "X..X.", ".XXX.", "...X.", "XXX.."},
};

bool IsRed(QRgb pixel) {
    return qAlpha(pixel) == 255 && qRed(pixel) >= 200 && qGreen(pixel) < 64 && qBlue(pixel) < 64;
}

// The image after each of `ticks` timer ticks.
std::vector<Image> Ticks(CTrayIcon& tray, int ticks, int32_t pending = 0) {
    std::vector<Image> seen;
    for (int i = 0; i < ticks; ++i) {
        tray.OnTimer(pending);
        seen.push_back(tray.image());
    }
    return seen;
}

} // namespace

class TrayTest : public QObject {
    Q_OBJECT
private slots:
    void glyphTableMatchesTheDesign() {
        for (int digit = 0; digit < 10; ++digit) {
            for (int row = 0; row < GLYPH_ROWS; ++row) {
                QString drawn;
                for (int column = 0; column < GLYPH_COLUMNS; ++column) {
                    drawn += DIGIT_GLYPHS[digit][row * GLYPH_COLUMNS + column] != 0 ? 'X' : '.';
                }
                QCOMPARE(drawn, QString::fromLatin1(FONT[digit][row]));
            }
        }
    }

    void badgeImage_data() {
        QTest::addColumn<uint>("number");
        QTest::addColumn<QString>("shown");
        QTest::newRow("leading zeros") << 7u << "007";
        QTest::newRow("two digits") << 42u << "042";
        QTest::newRow("zero") << 0u << "000";
        QTest::newRow("above 999") << 1000u << "999";
        QTest::newRow("largest") << 0xFFFFFFFFu << "999";
    }
    void badgeImage() {
        QFETCH(uint, number);
        QFETCH(QString, shown);
        bool ink[16][16] = {};
        const int left[3] = {1, 6, 11};
        for (int place = 0; place < 3; ++place) {
            const int digit = shown[place].digitValue();
            for (int row = 0; row < 7; ++row) {
                for (int column = 0; column < 5; ++column) {
                    ink[1 + row][left[place] + column] = FONT[digit][row][column] == 'X';
                }
            }
        }

        const QImage badge = BuildBadgeImage(number);
        QCOMPARE(badge.format(), QImage::Format_ARGB32);
        QCOMPARE(badge.size(), QSize(16, 16));
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 16; ++x) {
                const QRgb pixel = badge.pixel(x, y);
                const QRgb expected = ink[y][x] ? qRgba(128, 0, 0, 255) : qRgba(4, 4, 4, 0);
                QVERIFY2(pixel == expected, qPrintable(QStringLiteral("x %1 y %2").arg(x).arg(y)));
            }
        }
    }

    void imagesAsCompiledIn() {
        const QImage normal(QString::fromLatin1(ICON_TRAY_NORMAL));
        const QImage alternate(QString::fromLatin1(ICON_TRAY_ALTERNATE));
        const QImage ground(QString::fromLatin1(BITMAP_BADGE_GROUND));
        const QImage app(QString::fromLatin1(ICON_APP));
        for (const QImage* image : {&normal, &alternate, &ground}) {
            QCOMPARE(image->size(), QSize(16, 16));
        }
        QCOMPARE(app.size(), QSize(32, 32));

        for (const QImage* image : {&normal, &alternate, &app}) {
            const int last = image->width() - 1;
            for (const QPoint corner :
                 {QPoint(0, 0), QPoint(last, 0), QPoint(0, last), QPoint(last, last)}) {
                QCOMPARE(qAlpha(image->pixel(corner)), 0);
            }
        }

        int blackInNormal = 0;
        int redInAlternate = 0;
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 16; ++x) {
                const QRgb plain = normal.pixel(x, y);
                const QRgb flash = alternate.pixel(x, y);
                QCOMPARE(ground.pixel(x, y), qRgb(4, 4, 4));
                QVERIFY(!IsRed(plain) && (y >= 8 || qAlpha(plain) == 0));
                // The label is the same in both, so the blink only flashes the letters.
                QVERIFY(y < 8 ? IsRed(flash) || qAlpha(flash) == 0 : flash == plain);
                blackInNormal += plain == qRgb(0, 0, 0) ? 1 : 0;
                redInAlternate += IsRed(flash) ? 1 : 0;
            }
        }
        QVERIFY(blackInNormal > 30 && redInAlternate > 10);
    }

    void blinkAtStart() {
        CTrayIcon tray;
        QCOMPARE(tray.image(), Image::None);
        tray.SetTrayImage(TRAY_IMAGE_NORMAL);
        QCOMPARE(tray.image(), Image::Normal);
        QVERIFY(tray.trayIcon()->isVisible());
        QCOMPARE(tray.trayIcon()->toolTip(), QStringLiteral("Kestrun"));

        QCOMPARE(Ticks(tray, 2), (std::vector{Image::Alternate, Image::Normal}));
        const qint64 shown = tray.trayIcon()->icon().cacheKey();
        QCOMPARE(Ticks(tray, 3), (std::vector{Image::Normal, Image::Normal, Image::Normal}));
        QCOMPARE(tray.trayIcon()->icon().cacheKey(), shown); // idle ticks load nothing
        QCOMPARE(tray.blinkCount(), 0);
    }

    void badgeBlinkAndClick() {
        CTrayIcon tray;
        tray.SetTrayImage(TRAY_IMAGE_NORMAL);
        Ticks(tray, 2);

        tray.UpdateBadge(-1); // read as unsigned: a broken count shows full, never small
        QCOMPARE(tray.badgeNumber(), 999u);
        tray.UpdateBadge(3);
        QCOMPARE(tray.image(), Image::Badge);
        QCOMPARE(tray.badgeNumber(), 3u);
        // A click while jobs are pending queues one normal tick but must not wipe the badge.
        tray.OnActivated(QSystemTrayIcon::Trigger);
        QCOMPARE(Ticks(tray, 4, 3), std::vector<Image>(4, Image::Badge));
        QCOMPARE(tray.badgeNumber(), 3u);

        tray.UpdateBadge(0);
        QCOMPARE(tray.image(), Image::Badge); // the blink starts at the next tick
        QCOMPARE(tray.blinkCount(), BLINK_AFTER_QUEUE);
        std::vector<Image> blink;
        for (int i = 0; i < 5; ++i) {
            blink.push_back(Image::Alternate);
            blink.push_back(Image::Normal);
        }
        QCOMPARE(Ticks(tray, 10), blink);
        const qint64 shown = tray.trayIcon()->icon().cacheKey();
        QCOMPARE(Ticks(tray, 2), (std::vector{Image::Normal, Image::Normal}));
        QCOMPARE(tray.trayIcon()->icon().cacheKey(), shown);

        // A click mid-blink cuts it short on the normal image.
        tray.UpdateBadge(0);
        QCOMPARE(Ticks(tray, 3), (std::vector{Image::Alternate, Image::Normal, Image::Alternate}));
        tray.OnActivated(QSystemTrayIcon::DoubleClick);
        QCOMPARE(Ticks(tray, 3), (std::vector{Image::Normal, Image::Normal, Image::Normal}));
        QCOMPARE(tray.blinkCount(), 0);
    }

    // Regression: a badge arriving while no icon was in the tray only changed the icon, and
    // every later image change did the same, so the icon never appeared.
    void failedImageBadgeAndRemoval() {
        CTrayIcon tray;
        tray.SetTrayImage(0); // no such image
        QCOMPARE(tray.image(), Image::None);
        QVERIFY(!tray.trayIcon()->isVisible());
        tray.UpdateBadge(2);
        QVERIFY(tray.trayIcon()->isVisible());
        QCOMPARE(tray.trayIcon()->toolTip(), QStringLiteral("Kestrun"));

        const qint64 shown = tray.trayIcon()->icon().cacheKey();
        tray.SetTrayImage(0); // forgotten, but the tray keeps showing the badge
        QCOMPARE(tray.image(), Image::None);
        QVERIFY(tray.trayIcon()->isVisible());
        QCOMPARE(tray.trayIcon()->icon().cacheKey(), shown);

        tray.Remove();
        QVERIFY(!tray.trayIcon()->isVisible());
        tray.SetTrayImage(TRAY_IMAGE_ALTERNATE); // added again
        QCOMPARE(tray.image(), Image::Alternate);
        QVERIFY(tray.trayIcon()->isVisible());
    }

    void menuAndClicksReachTheWindow() {
        CTrayIcon tray;
        QSignalSpy restore(&tray, &CTrayIcon::restoreRequested);
        QSignalSpy exit(&tray, &CTrayIcon::exitRequested);
        QCOMPARE(tray.trayIcon()->contextMenu(), tray.menu());
        QCOMPARE(tray.menu()->actions().size(), 1);
        QAction* exitAction = tray.menu()->actions().first();
        QCOMPARE(exitAction->text(), QStringLiteral("Выход"));
        exitAction->trigger();
        QCOMPARE(exit.count(), 1);

        tray.OnActivated(QSystemTrayIcon::Trigger);
        tray.OnActivated(QSystemTrayIcon::DoubleClick);
        QCOMPARE(restore.count(), 2);
        // Through Qt's own signal too, as the desktop delivers it.
        emit tray.trayIcon()->activated(QSystemTrayIcon::Trigger);
        QCOMPARE(restore.count(), 3);

        tray.UpdateBadge(0);
        tray.OnActivated(QSystemTrayIcon::MiddleClick);
        tray.OnActivated(QSystemTrayIcon::Unknown);
        QCOMPARE(tray.blinkCount(), BLINK_AFTER_QUEUE);
        tray.OnActivated(QSystemTrayIcon::Context);
        QCOMPARE(tray.blinkCount(), 1);
        QCOMPARE(restore.count(), 3);
        QCOMPARE(exit.count(), 1);
    }
};

QTEST_MAIN(TrayTest)
#include "tray_test.moc"
