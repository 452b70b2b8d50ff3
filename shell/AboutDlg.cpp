// The about box, laid out in dialog units like the main window.
#include "AboutDlg.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "DialogUnits.h"
#include "Resources.h"

namespace kestrun {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("about"));
    setWindowTitle(tr("О программе"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);

    auto* icon = new QLabel(this);
    icon->setPixmap(QIcon(QString::fromUtf8(ICON_APP)).pixmap(32, 32));
    auto* caption = new QLabel(
        tr("Kestrun %1: речь в файл субтитров").arg(QStringLiteral(KESTRUN_VERSION)), this);
    caption->setObjectName(QStringLiteral("product"));
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    DialogUnits units(font());
    // The caption line is the box's widest part: the box grows with it, never clips it.
    const int captionUnits =
        std::max(119, (caption->sizeHint().width() * 4 + units.baseX() - 1) / units.baseX());
    const int width = 32 + captionUnits + 10 + 50 + 7; // icon, caption, gap, OK, margin
    icon->setGeometry(units.Rect(7, 4, 20, 20));
    caption->setGeometry(units.Rect(32, 10, captionUnits, 8));
    const QRect iconRect = icon->geometry();
    icon->setGeometry(iconRect.x(), iconRect.y(), std::max(32, iconRect.width()),
                      std::max(32, iconRect.height()));
    ok->setGeometry(units.Rect(width - 57, 7, 50, 14));
    setFixedSize(units.X(width), std::max(units.Y(28), icon->geometry().bottom() + 8));
}

} // namespace kestrun
