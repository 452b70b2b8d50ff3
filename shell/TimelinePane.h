// The timeline under the window's controls: the loaded file along its time, each channel's
// energy on a dB scale, the cues of the detector shown as shaded spans with their numbers,
// a time ruler and, for the energy-based detector, its threshold as a line. The wheel and
// the + and - keys zoom, a drag or the scroll bar scrolls, 0 fits the whole file. It shows;
// it never writes a file.
#pragma once

#include <QWidget>

#include <cstdint>
#include <optional>
#include <vector>

#include "Envelope.h"
#include "SegmentList.h"
#include "Srt.h"

class QScrollBar;

namespace kestrun {

class CVadEngine;

class TimelinePane : public QWidget {
    Q_OBJECT
public:
    explicit TimelinePane(QWidget* parent = nullptr);

    // Takes the load's energies (copied into envelopes of its own, so the engine may move
    // on) and shows the whole file.
    void SetLoad(const CVadEngine& engine);
    void ClearLoad();
    bool hasLoad() const { return !channels_.empty(); }

    // The cues shown, what they are (a caption with their count), and the energy-based
    // threshold as a fraction of the loudest frame, or none.
    void SetCues(std::vector<Segment> cues, const QString& caption,
                 std::optional<double> thresholdRatio = std::nullopt);
    const std::vector<Segment>& cues() const { return cues_; }
    QString caption() const { return caption_; }

    // The view: the span of time across the pane's width, in milliseconds.
    double viewStartMs() const { return viewStart_; }
    double viewSpanMs() const { return viewSpan_; }
    double durationMs() const { return durationMs_; }
    // Kept within the file; the span between the shortest view and the whole file.
    void SetView(double startMs, double spanMs);
    // Zooms by factor (above 1: in), keeping the time under x where it is.
    void ZoomAt(double factor, double x);
    void FitAll();
    double XOfMs(double ms) const;
    double MsAtX(double x) const;

    // Memory the pane holds for the load, in bytes.
    std::size_t bytes() const;

signals:
    // A click on cue index (counting from 0), not a drag.
    void cueClicked(int index);
    // The context menu's "save the cues shown as ..." in a format.
    void exportRequested(CueFormat format);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    int RulerHeight() const;
    void Layout();             // places the scroll bar and works out the plot's rectangle
    QRect PlotRect() const;    // the channels' bands, under the ruler, over the scroll bar
    int CueAt(double x) const; // the cue under x, or -1
    void SyncScrollBar();

    std::vector<EnergyEnvelope> channels_;
    double msPerFrame_ = 10.0;
    double durationMs_ = 0.0;
    std::vector<Segment> cues_;
    QString caption_;
    std::optional<double> thresholdDb_;
    double viewStart_ = 0.0;
    double viewSpan_ = 1000.0;
    QScrollBar* scroll_ = nullptr;
    QRect plot_;
    bool syncing_ = false; // the scroll bar is being set from the view
    // A press: where, the view then, and whether it has become a drag.
    std::optional<QPointF> pressAt_;
    double pressViewStart_ = 0.0;
    bool dragged_ = false;
};

} // namespace kestrun
