// An up-down control for a read-only buddy edit: two arrow buttons at the buddy's right
// edge and the Up and Down keys in the buddy step a whole number through a range and
// write it into the buddy as its text. The buddy's text is the value: a value put there
// from elsewhere is where the next step starts (brought into the range first).
#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

namespace kestrun {

class UpDownControl : public QWidget {
    Q_OBJECT
public:
    UpDownControl(QLineEdit* buddy, QWidget* parent);

    void SetRange(int lower, int upper);
    int lower() const { return lower_; }
    int upper() const { return upper_; }

    // One step up (+1) or down (-1), never past the range.
    void Step(int direction);

    QToolButton* upButton() const { return up_; }
    QToolButton* downButton() const { return down_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QLineEdit* buddy_;
    QToolButton* up_;
    QToolButton* down_;
    int lower_ = 0;
    int upper_ = 100;
    int position_ = 0; // used when the buddy's text is not a number
};

} // namespace kestrun
