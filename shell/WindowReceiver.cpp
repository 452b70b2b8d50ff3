// The worker's reports as queued signals.
#include "WindowReceiver.h"

namespace kestrun {

WindowReceiver::WindowReceiver(QObject* parent) : QObject(parent) {
    qRegisterMetaType<kestrun::JobResult>();
    qRegisterMetaType<kestrun::JobProgress>();
}

void WindowReceiver::SetProgress(const JobProgress& progress) {
    emit progressChanged(progress);
}

void WindowReceiver::SetTitle(const std::string& title) {
    emit titleChanged(QString::fromStdString(title));
}

bool WindowReceiver::IsAlive() const {
    return alive_.load(std::memory_order_acquire);
}

void WindowReceiver::Deliver(std::unique_ptr<JobResult> result) {
    if (result) {
        emit jobDone(*result); // queued: the signal carries its own copy
    }
}

void WindowReceiver::SetAlive(bool alive) {
    alive_.store(alive, std::memory_order_release);
}

} // namespace kestrun
