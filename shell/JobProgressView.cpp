// The running job's step, time and fraction.
#include "JobProgressView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include <algorithm>

namespace kestrun {
namespace {

constexpr int TICK_MS = 250;
constexpr int BAR_MAX = 1000;

const char* StepName(JobStep step) {
    switch (step) {
    case JobStep::Decode:
        return QT_TRANSLATE_NOOP("kestrun::JobProgressView", "Декодирование");
    case JobStep::Copy:
        return QT_TRANSLATE_NOOP("kestrun::JobProgressView", "Копирование WAV");
    case JobStep::Mono:
        return QT_TRANSLATE_NOOP("kestrun::JobProgressView", "Сведение в моно");
    case JobStep::Normalise:
        return QT_TRANSLATE_NOOP("kestrun::JobProgressView", "Нормализация");
    case JobStep::Load:
        return QT_TRANSLATE_NOOP("kestrun::JobProgressView", "Загрузка");
    }
    return "";
}

QString Elapsed(qint64 ms) {
    const qint64 s = std::max<qint64>(ms, 0) / 1000;
    const QChar zero(u'0');
    if (s >= 3600) {
        return QStringLiteral("%1:%2:%3")
            .arg(s / 3600)
            .arg(s / 60 % 60, 2, 10, zero)
            .arg(s % 60, 2, 10, zero);
    }
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, zero);
}

} // namespace

QString JobProgressText(const JobProgress& progress, qint64 elapsedMs) {
    QString text =
        JobProgressView::tr(StepName(progress.step)) + QStringLiteral(" — ") + Elapsed(elapsedMs);
    if (progress.total != 0) {
        const uint64_t percent = std::min<uint64_t>(progress.done * 100 / progress.total, 100);
        text += QStringLiteral(", %1%").arg(percent);
    } else if (progress.done != 0) {
        text += JobProgressView::tr(", %1 МБ").arg(progress.done / (1024 * 1024));
    }
    return text;
}

JobProgressView::JobProgressView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("jobProgress"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 0, 2, 0);
    text_ = new QLabel(this);
    text_->setObjectName(QStringLiteral("jobProgressText"));
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("jobProgressBar"));
    bar_->setTextVisible(false); // the label says the figures
    layout->addWidget(text_, 3);
    layout->addWidget(bar_, 2);
    setAutoFillBackground(true);
    tick_ = new QTimer(this);
    tick_->setInterval(TICK_MS);
    connect(tick_, &QTimer::timeout, this, &JobProgressView::Refresh);
    hide();
}

void JobProgressView::Show(const JobProgress& progress) {
    if (!clock_.isValid()) {
        clock_.start();
        tick_->start();
    }
    last_ = progress;
    Refresh();
    show();
    raise();
}

void JobProgressView::Finish() {
    clock_.invalidate();
    tick_->stop();
    hide();
}

QString JobProgressView::text() const {
    return text_->text();
}

int JobProgressView::permille() const {
    return bar_->maximum() == 0 ? -1 : bar_->value();
}

void JobProgressView::Refresh() {
    text_->setText(JobProgressText(last_, clock_.isValid() ? clock_.elapsed() : 0));
    if (last_.total == 0) {
        bar_->setRange(0, 0); // busy: the step cannot tell how far it has come
        return;
    }
    bar_->setRange(0, BAR_MAX);
    bar_->setValue(
        static_cast<int>(std::min<uint64_t>(last_.done, last_.total) * BAR_MAX / last_.total));
}

} // namespace kestrun
