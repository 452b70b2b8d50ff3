// The notification-area icon: the normal and alternate images, the badge that counts the
// pending jobs, the blink when the queue runs empty, the click that brings the window back
// and the menu whose "Выход" ends the program through the window's close path.
#pragma once

#include <QIcon>
#include <QImage>
#include <QObject>
#include <QSystemTrayIcon>

#include <cstdint>
#include <memory>
#include <optional>

class QMenu;

namespace kestrun {

constexpr int TRAY_TIMER_MS = 350;
constexpr int TRAY_IMAGE_NORMAL = 1;
constexpr int TRAY_IMAGE_ALTERNATE = 2;
constexpr int32_t BLINK_AFTER_QUEUE = 10; // half-cycles: 3.5 s, ending on the normal image
constexpr int32_t BLINK_AT_START = 2;     // one short flash of the alternate image

//   7    -> "007"
//   1000 -> "999"
// A 16 x 16 ARGB image: the three digits in dark red (128, 0, 0), fully opaque, with their
// top-left pixels at columns 1, 6 and 11 of row 1; every other pixel fully transparent.
QImage BuildBadgeImage(uint32_t number);
QIcon BuildBadgeIcon(uint32_t number);

class CTrayIcon : public QObject {
    Q_OBJECT
public:
    enum class Image { None, Normal, Alternate, Badge };

    explicit CTrayIcon(QObject* parent = nullptr);
    ~CTrayIcon() override;

    // TRAY_IMAGE_NORMAL or TRAY_IMAGE_ALTERNATE. The first call adds the icon, with the
    // tooltip "Kestrun"; an image that cannot be loaded (or any other kind) drops the held
    // one while the tray keeps showing it, and the next good call adds the icon again.
    void SetTrayImage(int kind);

    // The pending-job count changed: 0 starts the end-of-queue blink at the next tick,
    // anything else shows the count as a badge (adding the icon if none is in the tray).
    // The count is read as unsigned, so above 999, and any negative count, shows 999.
    void UpdateBadge(int32_t count);

    // One tick of the 350 ms timer. While no job is pending and a blink is under way, shows
    // the normal image on odd counts and the alternate on even ones, and counts down.
    void OnTimer(int32_t pendingJobs);

    // A click, double click or context click on the icon (also what tests call).
    void OnActivated(QSystemTrayIcon::ActivationReason reason);

    // Takes the icon out of the tray (the window is going away).
    void Remove();

    // True when the desktop has a tray that shows the icon. Without one, nothing must
    // depend on the icon to bring the window back.
    bool IsAvailable() const;
    // Overrides the desktop's answer (tests; a desktop that misreports its tray).
    void SetHostAvailable(std::optional<bool> available) { hostAvailable_ = available; }

    Image image() const { return image_; }
    uint32_t badgeNumber() const { return badgeNumber_; }
    int32_t blinkCount() const { return blinkCount_; }
    QSystemTrayIcon* trayIcon() const { return tray_.get(); }
    QMenu* menu() const { return menu_.get(); }

signals:
    // Left click or double click: the window is to be shown in its normal state, in front.
    void restoreRequested();
    // "Выход" chosen: the window is to take its close path.
    void exitRequested();

private:
    // Shows the icon; while none is in the tray (image_ is None) this also adds it.
    void Present(const QIcon& icon);

    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    Image image_ = Image::None;
    uint32_t badgeNumber_ = 0;
    int32_t blinkCount_ = BLINK_AT_START;
    std::optional<bool> hostAvailable_;
};

} // namespace kestrun
