// CAboutDlg: the about box, with the application icon and the product name.
#pragma once

#include <QDialog>

namespace kestrun {

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

} // namespace kestrun
