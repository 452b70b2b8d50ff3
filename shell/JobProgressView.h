// The strip at the foot of the window's controls while a job runs: the step, the time
// since the job began, and a bar that fills where the step knows its size and otherwise
// shows that work goes on. Idle, it is hidden and the version line under it shows.
#pragma once

#include <QElapsedTimer>
#include <QWidget>

#include "JobInfo.h"

class QLabel;
class QProgressBar;
class QTimer;

namespace kestrun {

// "Декодирование — 0:12, 35 МБ", "Загрузка — 1:02:03, 45%".
QString JobProgressText(const JobProgress& progress, qint64 elapsedMs);

class JobProgressView : public QWidget {
    Q_OBJECT
public:
    explicit JobProgressView(QWidget* parent = nullptr);

    // A report of the running job: shows the strip, starting its clock at a job's first.
    void Show(const JobProgress& progress);
    // The job has ended: the next report starts a new clock. Hidden.
    void Finish();

    QString text() const;
    // The bar's value in thousandths, or -1 while the step's size is unknown.
    int permille() const;

private:
    void Refresh();

    QLabel* text_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QTimer* tick_ = nullptr; // keeps the elapsed time current between reports
    QElapsedTimer clock_;
    JobProgress last_;
};

} // namespace kestrun
