// The timeline under the window's controls: the loaded file along its time, each channel's
// energy on a dB scale, the cues of the detector shown as shaded spans with their numbers,
// a time ruler and, for the energy-based detector, its threshold as a line. The wheel and
// the + and - keys zoom, a drag or the scroll bar scrolls, 0 fits the whole file. A click
// on a cue plays it; Space plays or stops from the playhead, Left and Right go to the
// previous or next cue and play it. It shows and plays; it never writes a file.
#pragma once

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Envelope.h"
#include "Playback.h"
#include "SegmentList.h"
#include "Srt.h"

class QScrollBar;
class QTimer;

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

    // The WAV the load was read from, played when asked; none clears it.
    void SetSound(const std::string& wavPath);
    // Replaces the sound device (tests give a stand-in). The pane owns it.
    void SetSoundOutput(std::unique_ptr<ISoundOutput> output);

    // Listening. The cue selected (-1 for none) and the playhead, in milliseconds.
    int currentCue() const { return currentCue_; }
    double playheadMs() const { return playheadMs_; }
    bool playing() const { return playing_; }
    // Selects cue index and plays it from its start to its end.
    void PlayCue(int index);
    // Plays from the playhead to the end of the file, or stops where it is.
    void TogglePlay();
    // Selects and plays the cue before (-1) or after (+1) the playhead.
    void StepCue(int direction);
    void StopPlaying();

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
    // Playing failed (no sound device, say): emitted for the first failure only, so the
    // window says it once.
    void soundUnavailable(const QString& why);

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
    // The pixel columns [first, last) a cue covers: at least one, whole pixels.
    std::pair<int, int> ColumnsOf(const Segment& cue) const;
    // The row of a level in channel band's band of the plot.
    int LevelY(const QRect& plot, int band, double db) const;
    // The envelopes' layer for the view as it stands.
    void DrawEnvelopes(const QRect& plot);
    // Plays [startMs, endMs) of the sound, the playhead at its start.
    void Play(double startMs, double endMs);
    // Follows the output while it plays: the playhead moves, and stays where it stopped.
    void FollowPlayback();
    // Scrolls so that ms is in view.
    void Reveal(double ms);
    uint64_t FrameAt(double ms) const;

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
    // The envelopes' layer, and the view, size and load it was drawn for.
    QImage envelopeImage_;
    struct EnvelopeKey {
        double start = -1.0;
        double span = 0.0;
        QSize size;
        uint64_t load = 0;
        bool operator==(const EnvelopeKey&) const = default;
    };
    EnvelopeKey envelopeKey_;
    uint64_t loadSerial_ = 0; // counts SetLoad and ClearLoad
    bool syncing_ = false;    // the scroll bar is being set from the view
    // A press: where, the view then, and whether it has become a drag.
    std::optional<QPointF> pressAt_;
    double pressViewStart_ = 0.0;
    bool dragged_ = false;
    // Listening.
    std::string wavPath_;
    uint32_t sampleRate_ = 0;
    std::unique_ptr<ISoundOutput> output_;
    QTimer* playTimer_ = nullptr;
    double playStartMs_ = 0.0;
    double playheadMs_ = 0.0;
    int currentCue_ = -1;
    bool playing_ = false;
    bool soundFailed_ = false; // said once
};

} // namespace kestrun
