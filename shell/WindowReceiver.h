// What the worker reports to when the window is up: each report becomes a queued Qt
// signal, so it is handled on the window's thread in the order it was sent.
#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>

#include <atomic>

#include "JobInfo.h"

Q_DECLARE_METATYPE(kestrun::JobResult)
Q_DECLARE_METATYPE(kestrun::JobProgress)

namespace kestrun {

class WindowReceiver : public QObject, public IJobReceiver {
    Q_OBJECT
public:
    explicit WindowReceiver(QObject* parent = nullptr);

    // Called on the worker thread.
    void SetTitle(const std::string& title) override;
    void SetProgress(const JobProgress& progress) override;
    bool ShowsProgress() const override { return true; }
    bool IsAlive() const override;
    void Deliver(std::unique_ptr<JobResult> result) override;

    // The window sets this while it can take reports; afterwards results are dropped.
    void SetAlive(bool alive);

signals:
    void titleChanged(const QString& title);
    void progressChanged(const kestrun::JobProgress& progress);
    void jobDone(const kestrun::JobResult& result);

private:
    std::atomic<bool> alive_{false};
};

} // namespace kestrun
