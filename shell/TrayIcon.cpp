// The notification-area icon: the badge painter and CTrayIcon, which keeps its own record
// of what the tray shows so that a desktop without a tray (or the offscreen platform) runs
// the same code paths as one with a tray.
#include "TrayIcon.h"

#include "Resources.h"

#include <QAction>
#include <QMenu>
#include <QPixmap>

#include <algorithm>
#include <array>

namespace kestrun {

namespace {

constexpr int BADGE_SIZE = 16;
constexpr uint32_t BADGE_MAX = 999;
constexpr QRgb BADGE_GROUND = qRgba(4, 4, 4, 0);
constexpr QRgb BADGE_INK = qRgba(128, 0, 0, 255);
// Left edges of the hundreds, tens and ones; all three share the top row.
constexpr std::array<int, 3> BADGE_DIGIT_COLUMNS = {1, 6, 11};
constexpr int BADGE_DIGIT_ROW = 1;

// The tray image for a kind, at the tray's 16 x 16; null when the kind is unknown or the
// resource does not decode, which the caller treats alike.
QIcon LoadTrayImage(int kind) {
    const char* path = nullptr;
    if (kind == TRAY_IMAGE_NORMAL) {
        path = ICON_TRAY_NORMAL;
    } else if (kind == TRAY_IMAGE_ALTERNATE) {
        path = ICON_TRAY_ALTERNATE;
    } else {
        return {};
    }
    QImage image(QString::fromLatin1(path));
    if (image.isNull()) {
        return {};
    }
    if (image.size() != QSize(BADGE_SIZE, BADGE_SIZE)) {
        image =
            image.scaled(BADGE_SIZE, BADGE_SIZE, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    return QIcon(QPixmap::fromImage(image));
}

} // namespace

QImage BuildBadgeImage(uint32_t number) {
    number = std::min(number, BADGE_MAX);
    const std::array<uint32_t, 3> digits = {(number / 100) % 10, (number / 10) % 10, number % 10};

    // The ground's colour sits under a fully transparent mask, so it never shows; if the
    // bitmap is missing the same colour is filled in here and the badge is unchanged.
    QImage badge(QString::fromLatin1(BITMAP_BADGE_GROUND));
    if (badge.isNull() || badge.size() != QSize(BADGE_SIZE, BADGE_SIZE)) {
        badge = QImage(BADGE_SIZE, BADGE_SIZE, QImage::Format_ARGB32);
        badge.fill(BADGE_GROUND);
    } else {
        badge = badge.convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < BADGE_SIZE; ++y) {
            for (int x = 0; x < BADGE_SIZE; ++x) {
                badge.setPixel(x, y, badge.pixel(x, y) & RGB_MASK); // alpha 0, colour kept
            }
        }
    }

    for (size_t place = 0; place < digits.size(); ++place) {
        const uint8_t* glyph = DIGIT_GLYPHS[digits[place]];
        for (int row = 0; row < GLYPH_ROWS; ++row) {
            for (int column = 0; column < GLYPH_COLUMNS; ++column) {
                const int x = BADGE_DIGIT_COLUMNS[place] + column;
                const int y = BADGE_DIGIT_ROW + row;
                if (glyph[row * GLYPH_COLUMNS + column] != 0 && x < BADGE_SIZE && y < BADGE_SIZE) {
                    badge.setPixel(x, y, BADGE_INK);
                }
            }
        }
    }
    return badge;
}

QIcon BuildBadgeIcon(uint32_t number) {
    return QIcon(QPixmap::fromImage(BuildBadgeImage(number)));
}

CTrayIcon::CTrayIcon(QObject* parent)
    : QObject(parent), menu_(std::make_unique<QMenu>()),
      tray_(std::make_unique<QSystemTrayIcon>()) {
    menu_->setObjectName(QStringLiteral("trayMenu"));
    QAction* exitAction = menu_->addAction(tr("Выход"));
    exitAction->setObjectName(QStringLiteral("trayExit"));
    connect(exitAction, &QAction::triggered, this, &CTrayIcon::exitRequested);

    tray_->setToolTip(QStringLiteral("Kestrun"));
    tray_->setContextMenu(menu_.get());
    connect(tray_.get(), &QSystemTrayIcon::activated, this, &CTrayIcon::OnActivated);
}

CTrayIcon::~CTrayIcon() {
    Remove();
}

void CTrayIcon::Present(const QIcon& icon) {
    tray_->setIcon(icon);
    if (image_ == Image::None) {
        tray_->setToolTip(QStringLiteral("Kestrun"));
        tray_->show();
    }
}

void CTrayIcon::SetTrayImage(int kind) {
    const QIcon icon = LoadTrayImage(kind);
    if (icon.isNull()) {
        // The tray keeps whatever it shows; forgetting the image makes the next good one
        // add the icon afresh rather than trust a state we no longer know.
        image_ = Image::None;
        return;
    }
    Present(icon);
    image_ = kind == TRAY_IMAGE_NORMAL ? Image::Normal : Image::Alternate;
}

void CTrayIcon::UpdateBadge(int32_t count) {
    if (count == 0) {
        blinkCount_ = BLINK_AFTER_QUEUE;
        return;
    }
    // Taken as unsigned on purpose: a count that went negative shows as 999, a full
    // badge, rather than as a small number that looks plausible.
    const uint32_t shown = std::min(static_cast<uint32_t>(count), BADGE_MAX);
    Present(BuildBadgeIcon(shown));
    image_ = Image::Badge;
    badgeNumber_ = shown;
}

void CTrayIcon::OnTimer(int32_t pendingJobs) {
    if (pendingJobs != 0 || blinkCount_ <= 0) {
        return;
    }
    SetTrayImage(blinkCount_ % 2 != 0 ? TRAY_IMAGE_NORMAL : TRAY_IMAGE_ALTERNATE);
    --blinkCount_;
}

void CTrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::DoubleClick:
        // One tick of the normal image: whatever was flashing or counting gives way to the
        // plain icon once the window is back.
        blinkCount_ = 1;
        emit restoreRequested();
        break;
    case QSystemTrayIcon::Context:
        blinkCount_ = 1; // Qt opens the menu itself
        break;
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
        break;
    }
}

void CTrayIcon::Remove() {
    tray_->hide();
    image_ = Image::None;
}

bool CTrayIcon::IsAvailable() const {
    return hostAvailable_.has_value() ? *hostAvailable_ : QSystemTrayIcon::isSystemTrayAvailable();
}

} // namespace kestrun
