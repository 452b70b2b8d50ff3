// The timeline pane: its view of time, the drawing of envelopes, cues and ruler, and the
// wheel, drag and keys that move the view.
#include "TimelinePane.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <climits>
#include <cmath>

#include "VadEngine.h"

namespace kestrun {
namespace {

// The levels a band shows, from 0 dB at its top down to this at its bottom.
constexpr double SHOWN_DB = 60.0;
// The shortest view, in frames: enough to see single frames as steps.
constexpr double MIN_VIEW_FRAMES = 20.0;
// A press that moves less than this is a click.
constexpr double CLICK_SLOP_PX = 3.0;
// Ruler ticks stand at least this far apart.
constexpr double TICK_MIN_PX = 80.0;
// One wheel notch zooms by this.
constexpr double WHEEL_ZOOM = 1.25;

const QColor ENVELOPE_COLOR(40, 90, 160);
const QColor CUE_FILL(255, 170, 0, 70);
const QColor CUE_EDGE(215, 125, 0);
const QColor THRESHOLD_COLOR(200, 30, 30);
const QColor CUE_SELECTED(255, 120, 0, 80);
const QColor PLAYHEAD_COLOR(0, 130, 60);
// How often the playhead follows the sound: about 30 times a second.
constexpr int PLAY_FOLLOW_MS = 33;

// The tick step for at least minMs between ticks: 1, 2, 5 times a power of ten below a
// second, then steps a clock reads well.
double TickStep(double minMs) {
    static const double steps[] = {1,     2,     5,     10,    20,     50,     100,    200,
                                   500,   1e3,   2e3,   5e3,   10e3,   15e3,   30e3,   60e3,
                                   120e3, 300e3, 600e3, 900e3, 1800e3, 3600e3, 7200e3, 18000e3};
    for (double step : steps) {
        if (step >= minMs) {
            return step;
        }
    }
    return steps[std::size(steps) - 1];
}

// "1:02:03" for an hour or more, "2:03" below; milliseconds too when the step is finer
// than a second ("2:03.250").
QString TickLabel(double ms, double step) {
    const auto whole = static_cast<int64_t>(std::llround(ms));
    const int64_t h = whole / 3600000;
    const int64_t m = (whole / 60000) % 60;
    const int64_t s = (whole / 1000) % 60;
    QString text = h > 0 ? QStringLiteral("%1:%2:%3")
                               .arg(h)
                               .arg(m, 2, 10, QLatin1Char('0'))
                               .arg(s, 2, 10, QLatin1Char('0'))
                         : QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
    if (step < 1000.0) {
        text += QStringLiteral(".%1").arg(whole % 1000, 3, 10, QLatin1Char('0'));
    }
    return text;
}

} // namespace

TimelinePane::TimelinePane(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("timeline"));
    // Focus by click only: the window's Tab order stays as it is.
    setFocusPolicy(Qt::ClickFocus);
    setAutoFillBackground(false);
    scroll_ = new QScrollBar(Qt::Horizontal, this);
    scroll_->setObjectName(QStringLiteral("timelineScroll"));
    connect(scroll_, &QScrollBar::valueChanged, this, [this](int value) {
        if (!syncing_) {
            SetView(value, viewSpan_);
        }
    });
    playTimer_ = new QTimer(this);
    playTimer_->setInterval(PLAY_FOLLOW_MS);
    connect(playTimer_, &QTimer::timeout, this, &TimelinePane::FollowPlayback);
    Layout();
    SyncScrollBar();
}

void TimelinePane::SetLoad(const CVadEngine& engine) {
    ClearLoad();
    ++loadSerial_;
    for (int ch = 0; ch < 2; ++ch) {
        if (const FrameArray* energy = engine.energy(ch)) {
            channels_.emplace_back().Build(*energy, engine.maxEnergy());
        }
    }
    const uint32_t rate = engine.header().nSamplesPerSec;
    sampleRate_ = rate;
    msPerFrame_ = rate == 0 ? 10.0 : 1000.0 * engine.frameLength() / rate;
    durationMs_ = static_cast<double>(engine.DurationMs());
    FitAll();
}

void TimelinePane::ClearLoad() {
    ++loadSerial_;
    StopPlaying();
    wavPath_.clear();
    sampleRate_ = 0;
    playheadMs_ = 0.0;
    currentCue_ = -1;
    channels_.clear();
    cues_.clear();
    caption_.clear();
    thresholdDb_.reset();
    durationMs_ = 0.0;
    FitAll();
}

void TimelinePane::SetCues(std::vector<Segment> cues, const QString& caption,
                           std::optional<double> thresholdRatio) {
    cues_ = std::move(cues);
    caption_ = caption;
    currentCue_ = -1; // the numbers now name other cues
    thresholdDb_.reset();
    if (thresholdRatio) {
        thresholdDb_ = *thresholdRatio > 0.0 ? 10.0 * std::log10(*thresholdRatio) : -SHOWN_DB;
    }
    update();
}

void TimelinePane::SetSound(const std::string& wavPath) {
    StopPlaying();
    wavPath_ = wavPath;
}

void TimelinePane::SetSoundOutput(std::unique_ptr<ISoundOutput> output) {
    StopPlaying();
    output_ = std::move(output);
}

uint64_t TimelinePane::FrameAt(double ms) const {
    return static_cast<uint64_t>(std::llround(std::max(0.0, ms) * sampleRate_ / 1000.0));
}

void TimelinePane::Play(double startMs, double endMs) {
    StopPlaying();
    playheadMs_ = startMs;
    if (wavPath_.empty() || sampleRate_ == 0) {
        update();
        return;
    }
    if (!output_) {
        output_ = MakeDeviceOutput();
    }
    std::string why;
    if (!output_->Play(wavPath_, FrameAt(startMs), FrameAt(endMs), &why)) {
        if (!soundFailed_) {
            soundFailed_ = true;
            emit soundUnavailable(QString::fromStdString(why));
        }
        update();
        return;
    }
    playing_ = true;
    playTimer_->start();
    update();
}

void TimelinePane::FollowPlayback() {
    const std::optional<uint64_t> frame = output_ ? output_->Position() : std::nullopt;
    if (!frame) {
        playing_ = false;
        playTimer_->stop();
    } else {
        playheadMs_ = std::min(durationMs_, *frame * 1000.0 / sampleRate_);
        if (playheadMs_ > viewStart_ + viewSpan_) {
            SetView(playheadMs_, viewSpan_); // a page on, the way a reader turns one
        }
    }
    update();
}

void TimelinePane::StopPlaying() {
    if (!playing_) {
        return;
    }
    FollowPlayback(); // the playhead stays where the sound was
    if (output_) {
        output_->Stop();
    }
    playing_ = false;
    playTimer_->stop();
    update();
}

void TimelinePane::PlayCue(int index) {
    if (index < 0 || index >= static_cast<int>(cues_.size())) {
        return;
    }
    const Segment cue = cues_[static_cast<std::size_t>(index)];
    Reveal(cue.start);
    Play(cue.start, cue.end);
    currentCue_ = index;
}

void TimelinePane::TogglePlay() {
    if (playing_) {
        StopPlaying();
        return;
    }
    currentCue_ = -1;
    Play(playheadMs_ >= durationMs_ ? 0.0 : playheadMs_, durationMs_);
}

void TimelinePane::StepCue(int direction) {
    int target = -1;
    if (currentCue_ >= 0) {
        target = currentCue_ + direction;
    } else if (direction > 0) {
        // The first cue that starts after the playhead.
        const auto next = std::upper_bound(cues_.begin(), cues_.end(), playheadMs_,
                                           [](double t, const Segment& s) { return t < s.start; });
        target = static_cast<int>(next - cues_.begin());
    } else {
        // The last cue that starts before it.
        const auto next = std::lower_bound(cues_.begin(), cues_.end(), playheadMs_,
                                           [](const Segment& s, double t) { return s.start < t; });
        target = static_cast<int>(next - cues_.begin()) - 1;
    }
    PlayCue(target);
}

void TimelinePane::Reveal(double ms) {
    if (ms < viewStart_ || ms > viewStart_ + viewSpan_) {
        SetView(ms - viewSpan_ / 10.0, viewSpan_);
    }
}

void TimelinePane::SetView(double startMs, double spanMs) {
    const double shortest = std::min(MIN_VIEW_FRAMES * msPerFrame_, std::max(durationMs_, 1.0));
    viewSpan_ = std::clamp(spanMs, shortest, std::max(durationMs_, shortest));
    viewStart_ = std::clamp(startMs, 0.0, std::max(0.0, durationMs_ - viewSpan_));
    SyncScrollBar();
    update();
}

void TimelinePane::ZoomAt(double factor, double x) {
    if (!(factor > 0.0)) {
        return;
    }
    const double at = MsAtX(x);
    const double span = viewSpan_ / factor;
    const double width = std::max(1, PlotRect().width());
    SetView(at - (x - PlotRect().left()) / width * span, span);
}

void TimelinePane::FitAll() {
    SetView(0.0, durationMs_);
}

double TimelinePane::XOfMs(double ms) const {
    const QRect plot = PlotRect();
    return plot.left() + (ms - viewStart_) / viewSpan_ * plot.width();
}

double TimelinePane::MsAtX(double x) const {
    const QRect plot = PlotRect();
    return viewStart_ + (x - plot.left()) / std::max(1, plot.width()) * viewSpan_;
}

std::size_t TimelinePane::bytes() const {
    std::size_t total = cues_.capacity() * sizeof(Segment);
    for (const EnergyEnvelope& channel : channels_) {
        total += channel.bytes();
    }
    return total;
}

int TimelinePane::RulerHeight() const {
    return fontMetrics().height() + 6;
}

QRect TimelinePane::PlotRect() const {
    return plot_;
}

void TimelinePane::Layout() {
    // Asking the style for the scroll bar's height costs more than a column's drawing, so
    // the geometry is worked out here once per resize.
    const int bar = scroll_->sizeHint().height();
    scroll_->setGeometry(0, height() - bar, width(), bar);
    const int top = RulerHeight();
    plot_ = QRect(0, top, width(), std::max(0, height() - bar - top));
}

int TimelinePane::CueAt(double x) const {
    const double ms = MsAtX(x);
    // Cues are in order and do not overlap: the last one starting at or before ms.
    const auto after = std::upper_bound(cues_.begin(), cues_.end(), ms,
                                        [](double t, const Segment& s) { return t < s.start; });
    if (after == cues_.begin()) {
        return -1;
    }
    const auto cue = std::prev(after);
    return ms <= cue->end ? static_cast<int>(cue - cues_.begin()) : -1;
}

void TimelinePane::SyncScrollBar() {
    syncing_ = true;
    const int span = static_cast<int>(std::lround(viewSpan_));
    scroll_->setRange(0, static_cast<int>(std::max(0.0, std::floor(durationMs_ - viewSpan_))));
    scroll_->setPageStep(std::max(1, span));
    scroll_->setSingleStep(std::max(1, span / 10));
    scroll_->setValue(static_cast<int>(std::lround(viewStart_)));
    syncing_ = false;
}

void TimelinePane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Layout();
}

std::pair<int, int> TimelinePane::ColumnsOf(const Segment& cue) const {
    const int x0 = static_cast<int>(std::floor(XOfMs(cue.start)));
    return {x0, std::max(x0 + 1, static_cast<int>(std::ceil(XOfMs(cue.end))))};
}

int TimelinePane::LevelY(const QRect& plot, int band, double db) const {
    const int bandHeight = plot.height() / static_cast<int>(channels_.size());
    const double down = std::clamp(-db / SHOWN_DB, 0.0, 1.0);
    return plot.top() + band * bandHeight + static_cast<int>(std::lround(down * (bandHeight - 1)));
}

// Each channel in a band of its own: per pixel column, the range of levels under it,
// written straight into the layer's pixels. The painter took a microsecond a line, most
// of a redraw at the whole of a film.
void TimelinePane::DrawEnvelopes(const QRect& plot) {
    if (envelopeImage_.size() != plot.size()) {
        envelopeImage_ = QImage(plot.size(), QImage::Format_ARGB32_Premultiplied);
    }
    envelopeImage_.fill(Qt::transparent);
    const QRgb ink = ENVELOPE_COLOR.rgba(); // opaque, so premultiplied as it stands
    const auto stride = static_cast<std::size_t>(envelopeImage_.bytesPerLine() / 4);
    auto* const pixels = reinterpret_cast<QRgb*>(envelopeImage_.bits());
    for (int b = 0; b < static_cast<int>(channels_.size()); ++b) {
        const EnergyEnvelope& envelope = channels_[static_cast<std::size_t>(b)];
        for (int x = 0; x < plot.width(); ++x) {
            const double f0 = std::max(0.0, std::floor(MsAtX(plot.left() + x) / msPerFrame_));
            const double f1 =
                std::max(f0 + 1.0, std::ceil(MsAtX(plot.left() + x + 1) / msPerFrame_));
            const EnergyEnvelope::Range r =
                envelope.RangeOf(static_cast<std::size_t>(f0), static_cast<std::size_t>(f1));
            const int y1 = std::min(LevelY(plot, b, r.low), plot.bottom()) - plot.top();
            for (int row = LevelY(plot, b, r.high) - plot.top(); row <= y1; ++row) {
                pixels[static_cast<std::size_t>(row) * stride + static_cast<std::size_t>(x)] = ink;
            }
        }
    }
}

void TimelinePane::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Base));
    const QRect plot = PlotRect();
    const int ruler = RulerHeight();
    p.setPen(palette().color(QPalette::Mid));
    p.drawLine(0, ruler - 1, width(), ruler - 1);
    if (channels_.empty() || plot.height() < 4) {
        return;
    }

    // Cues under the envelopes, their numbers at the top where there is room.
    const double viewEnd = viewStart_ + viewSpan_;
    const auto first = std::lower_bound(cues_.begin(), cues_.end(), viewStart_,
                                        [](const Segment& s, double t) { return s.end < t; });
    const QFontMetrics metrics = fontMetrics();
    const int digitWidth = metrics.horizontalAdvance(QLatin1Char('0'));
    // In whole pixels, and cues that share or touch a pixel column filled as one span: at
    // the whole of a long film thousands of cues fall on a few hundred columns, and a fill
    // per cue at fractional edges took the painter 200 ms. Edges in neighbouring columns are
    // one rectangle too: the painter fills a block far faster than it draws its lines.
    std::vector<QRect> edges;
    std::vector<QRect> spans;
    int lastEdge = INT_MIN;
    p.setPen(CUE_EDGE);
    for (auto cue = first; cue != cues_.end() && cue->start <= viewEnd; ++cue) {
        const auto [x0, x1] = ColumnsOf(*cue);
        if (!spans.empty() && x0 <= spans.back().right() + 1) {
            spans.back().setRight(std::max(spans.back().right(), x1 - 1));
        } else {
            spans.emplace_back(x0, plot.top(), x1 - x0, plot.height());
        }
        if (x0 == lastEdge + 1) {
            edges.back().setRight(x0);
            lastEdge = x0;
        } else if (x0 != lastEdge) {
            edges.emplace_back(x0, plot.top(), 1, plot.height());
            lastEdge = x0;
        }
        // A number only where it fits: at the whole of a long film most cues are a pixel.
        const auto n = cue - cues_.begin() + 1;
        if (x1 - x0 >= digitWidth * (n < 10 ? 1 : n < 100 ? 2 : n < 1000 ? 3 : 5) + 4) {
            p.drawText(x0 + 2, plot.top() + metrics.ascent() + 1, QString::number(n));
        }
    }
    for (const QRect& span : spans) {
        p.fillRect(span, CUE_FILL);
    }
    if (currentCue_ >= 0 && currentCue_ < static_cast<int>(cues_.size())) {
        const auto [x0, x1] = ColumnsOf(cues_[static_cast<std::size_t>(currentCue_)]);
        p.fillRect(QRect(x0, plot.top(), x1 - x0, plot.height()), CUE_SELECTED);
    }
    for (const QRect& edge : edges) {
        p.fillRect(edge, CUE_EDGE);
    }

    // The envelopes over the cues.
    const int bands = static_cast<int>(channels_.size());
    const int bandHeight = plot.height() / bands;
    // A threshold being tuned changes only the cues: the layer is drawn again only for
    // another view, size or load.
    const EnvelopeKey key{viewStart_, viewSpan_, plot.size(), loadSerial_};
    if (!(envelopeKey_ == key)) {
        envelopeKey_ = key;
        DrawEnvelopes(plot);
    }
    p.drawImage(plot.topLeft(), envelopeImage_);
    for (int b = 0; b < bands; ++b) {
        if (thresholdDb_) {
            p.setPen(QPen(THRESHOLD_COLOR, 1, Qt::DashLine));
            const int y = LevelY(plot, b, *thresholdDb_);
            p.drawLine(plot.left(), y, plot.right(), y);
        }
        if (b > 0) {
            const int top = plot.top() + b * bandHeight;
            p.setPen(palette().color(QPalette::Mid));
            p.drawLine(plot.left(), top, plot.right(), top);
        }
    }

    if (playheadMs_ >= viewStart_ && playheadMs_ <= viewEnd) {
        const int x = static_cast<int>(std::lround(XOfMs(playheadMs_)));
        p.setPen(QPen(PLAYHEAD_COLOR, playing_ ? 2 : 1));
        p.drawLine(x, plot.top(), x, plot.bottom());
    }

    // The ruler: the caption at the right, ticks with their times where it leaves room.
    p.setPen(palette().color(QPalette::Text));
    const int captionLeft =
        caption_.isEmpty() ? width() : width() - metrics.horizontalAdvance(caption_) - 6;
    p.drawText(QRect(captionLeft, 0, width() - captionLeft, ruler - 1), Qt::AlignCenter, caption_);
    const double step = TickStep(TICK_MIN_PX * viewSpan_ / std::max(1, plot.width()));
    for (double t = std::ceil(viewStart_ / step) * step; t <= viewEnd; t += step) {
        const int x = static_cast<int>(std::lround(XOfMs(t)));
        const QString label = TickLabel(t, step);
        if (x + 2 + metrics.horizontalAdvance(label) >= captionLeft) {
            break;
        }
        p.drawLine(x, ruler - 5, x, ruler - 1);
        p.drawText(x + 2, metrics.ascent() + 1, label);
    }
}

void TimelinePane::wheelEvent(QWheelEvent* event) {
    const QPoint delta = event->angleDelta();
    const double x = event->position().x();
    if ((event->modifiers() & Qt::ShiftModifier) || delta.x() != 0) {
        // A sideways wheel, or Shift: scroll by a tenth of the view per notch.
        const int notches = delta.x() != 0 ? delta.x() : delta.y();
        SetView(viewStart_ - notches / 120.0 * viewSpan_ / 10.0, viewSpan_);
    } else if (delta.y() != 0) {
        ZoomAt(std::pow(WHEEL_ZOOM, delta.y() / 120.0), x);
    }
    event->accept();
}

void TimelinePane::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    pressAt_ = event->position();
    pressViewStart_ = viewStart_;
    dragged_ = false;
}

void TimelinePane::mouseMoveEvent(QMouseEvent* event) {
    if (!pressAt_) {
        return;
    }
    const double dx = event->position().x() - pressAt_->x();
    dragged_ = dragged_ || std::abs(dx) >= CLICK_SLOP_PX;
    if (dragged_) {
        SetView(pressViewStart_ - dx / std::max(1, PlotRect().width()) * viewSpan_, viewSpan_);
    }
}

void TimelinePane::mouseReleaseEvent(QMouseEvent* event) {
    if (!pressAt_ || event->button() != Qt::LeftButton) {
        return;
    }
    const bool click = !dragged_;
    pressAt_.reset();
    if (click) {
        const double x = event->position().x();
        const int cue = CueAt(x);
        if (cue >= 0) {
            PlayCue(cue);
            emit cueClicked(cue);
        } else {
            // Between cues: the playhead goes there, for Space to play from.
            StopPlaying();
            currentCue_ = -1;
            playheadMs_ = std::clamp(MsAtX(x), 0.0, durationMs_);
            update();
        }
    }
}

void TimelinePane::keyPressEvent(QKeyEvent* event) {
    const double centre = PlotRect().left() + PlotRect().width() / 2.0;
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        ZoomAt(2.0, centre);
        break;
    case Qt::Key_Minus:
        ZoomAt(0.5, centre);
        break;
    case Qt::Key_0:
        FitAll();
        break;
    case Qt::Key_Space:
        TogglePlay();
        break;
    case Qt::Key_Left:
        StepCue(-1);
        break;
    case Qt::Key_Right:
        StepCue(+1);
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void TimelinePane::contextMenuEvent(QContextMenuEvent* event) {
    if (channels_.empty()) {
        return;
    }
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("timelineMenu"));
    const std::pair<const char*, CueFormat> entries[] = {
        {QT_TR_NOOP("Сохранить как SRT"), CueFormat::Srt},
        {QT_TR_NOOP("Сохранить как WebVTT"), CueFormat::WebVtt},
        {QT_TR_NOOP("Сохранить как метки Audacity"), CueFormat::Labels},
        {QT_TR_NOOP("Сохранить как CSV"), CueFormat::Csv},
    };
    for (const auto& [text, format] : entries) {
        QAction* action = menu.addAction(tr(text));
        action->setObjectName(QStringLiteral("export-") +
                              QString::fromUtf8(CueFormatName(format).data(),
                                                qsizetype(CueFormatName(format).size())));
        connect(action, &QAction::triggered, this,
                [this, format = format] { emit exportRequested(format); });
    }
    menu.exec(event->globalPos());
    event->accept();
}

} // namespace kestrun
