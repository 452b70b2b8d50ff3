// CMainDlg: the program's one window. Files dropped on it become jobs for the worker; it
// holds the conversion options, the three detectors' thresholds with their Generate
// buttons, the loaded file's sample rate, channels and duration, the speech model's
// progress on it, and the message log.
#pragma once

#include <QDialog>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "JobInfo.h"
#include "JobQueue.h"
#include "SharedEngine.h"
#include "SpeechWorker.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace kestrun {

class CLogListBox;
class CTrayIcon;
class JobProgressView;
class TimelinePane;
class UpDownControl;
class WindowReceiver;

constexpr const char* WINDOW_CAPTION =
    QT_TRANSLATE_NOOP("kestrun::CMainDlg", "Перетащите WAV в окно");
constexpr const char* SETTINGS_FILE = "./kestrun.ini";
constexpr const char* SETTINGS_SECTION = "Options";
constexpr const char* DEFAULT_OUTPUT_FOLDER = "./";
constexpr int GAIN_MIN = -12;
constexpr int GAIN_MAX = 12;

// The options only the settings file sets; read when the window starts, written back at
// its end unchanged.
struct GlobalSettings {
    int32_t minTray = 1;      // minimising hides the window in the tray
    int32_t hideChildren = 0; // tools start without windows (kept for the file's sake)
    int32_t showHint = 1;     // carried from load to save
    std::string azidGain;     // besweet's extra gain, at most 5 characters
};

// What the window works with, and how it reaches the worker.
struct MainDlgLinks {
    SharedEngine& engine;
    GlobalSettings& globals;
    // Hands a job to the worker (JOB_CMD_RUN).
    std::function<void(std::unique_ptr<JobInfo>)> dispatch;
    // The worker's reports, when a worker runs; the window connects to it and marks it
    // alive for as long as it can take them.
    WindowReceiver* receiver = nullptr;
    // Where the speech model is looked up (FindSpeechModel); empty for the default folders.
    std::vector<std::string> toolFolders;
    // Takes the place of the speech model's run (tests); empty runs the model.
    SpeechAnalyser speechAnalyser;
};

class CMainDlg : public QDialog {
    Q_OBJECT
public:
    // Builds and initialises the window: tray icon, controls, settings, placement, timer.
    explicit CMainDlg(const MainDlgLinks& links, QWidget* parent = nullptr);
    // Stops the speech model's run and the timer, saves the settings and removes the tray
    // icon.
    ~CMainDlg() override;

    // Takes the controls' values into the members, checking each in order. On the first
    // bad field: a message, the focus on that field, false.
    bool UpdateData();

    // A drop: the first path that is not a folder becomes a job.
    void HandleDrop(const QStringList& paths);
    // Files named on the command line or handed over by another start: the fields are
    // checked first, as for a drop, then every path becomes a job of its own, in order; a
    // folder or a missing file too, so that its job says what is wrong with it.
    void OpenFiles(const QStringList& paths);
    // To the front, out of the tray or the taskbar.
    void BringToFront() { RestoreFromTray(); }

    // A job's result from the worker.
    void OnJobDone(const JobResult& result);

    void OnGenerateEnergyBased();
    void OnGenerateEnergyGlitch();
    // With the probabilities at hand the SRT is written at once; while they are being
    // computed the press is remembered and carried out when they arrive; when their run
    // failed, its error is shown.
    void OnGenerateSpeech();
    void OnBrowse();
    void ShowAbout();

    // The speech worker's reports, on the window's thread. Reports of any load but the one
    // shown are ignored.
    void OnSpeechProgress(uint64_t load, int percent);
    void OnSpeechDone(uint64_t load, bool ok, const std::string& error);

    // Escape and every close request: the fields are checked first, and only when they
    // are valid does the window's run end.
    void reject() override;
    // Enter and every other default action: nothing.
    void accept() override {}

    // Ends the window's run without checking the fields: the program is told to stop from
    // outside and must not be kept waiting by a half-typed value.
    void EndRun();

    // The values of the last successful exchange.
    const std::string& outputFolder() const { return outputFolder_; }
    int32_t useSrcPath() const { return useSrcPath_; }
    int32_t normIndex() const { return normIndex_; }
    int32_t gainDb() const { return gainDb_; }
    int32_t makeMono() const { return makeMono_; }
    double ebThreshold() const { return ebThreshold_; }
    double egThreshold() const { return egThreshold_; }
    double egPrefilter() const { return egPrefilter_; }
    double spThreshold() const { return spThreshold_; }
    const std::string& loadedOutputBase() const { return loadedOutputBase_; }
    const JobQueue& jobQueue() const { return jobQueue_; }
    CTrayIcon& tray() const { return *tray_; }
    CLogListBox& log() const { return *log_; }
    TimelinePane& timeline() const { return *timeline_; }
    JobProgressView& jobProgress() const { return *jobProgress_; }

    // The timeline pane: wanted (the user's toggle, kept in the settings file) and shown
    // (wanted, once a file has been loaded).
    bool timelineWanted() const { return timelineWanted_; }
    void SetTimelineWanted(bool wanted);

    // The detector whose cues the timeline shows.
    enum class PreviewDetector { EnergyBased, EnergyGlitch, Speech };
    PreviewDetector previewDetector() const { return previewDetector_; }
    // Shows the cues of the detector for its fields as they stand, when they are valid;
    // what the timeline shows is what Generate would write with them.
    void UpdatePreview();
    // Typing has started the wait for a preview that has not been shown yet.
    bool previewPending() const;
    // Writes the cues the timeline shows beside the SRT, under the format's extension:
    // "Done." with their count, or an error box.
    void ExportCues(CueFormat format);

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void CreateControls();
    void LoadSettings();          // options, thresholds, list, gain, check boxes
    void LoadSettingsPlacement(); // position and output folder; moves the window
    void SaveSettings();
    void UpdateOutputFolderEnabled();
    void UpdateGainEnabled();
    void SetGenerateEnabled(bool enabled);
    void RunDetection(bool glitch);
    void RunSpeechDetection(double threshold);
    // Runs a detector on the shown load and writes its SRT: "Done." or an error box.
    void WriteSrt(const std::function<DetectionResult(CVadEngine&, const std::string&)>& detect);
    // "Done." with the number of cues written to path, or an error box naming it.
    void ShowWriteResult(const std::string& path, bool written, const std::string& error,
                         std::size_t cues);
    void StartSpeech(uint64_t load, const std::string& wavPath);
    void ResetSpeech();
    void ShowSpeechState();
    void ShowSpeechError();
    void RestoreFromTray();
    // Clears what the window shows of the last file and queues a job for this one.
    void QueueFile(const std::string& file);
    JobOptions CurrentJobOptions() const;
    void UpdateTimelineShown();
    // A field of this detector was edited, or its Generate pressed: it is the one shown.
    void PreviewSoon(PreviewDetector detector);

    SharedEngine& engine_;
    GlobalSettings& globals_;
    WindowReceiver* receiver_;
    JobQueue jobQueue_;
    std::unique_ptr<CTrayIcon> tray_;
    QTimer* trayTimer_ = nullptr;

    // Controls, by the role the user sees.
    QLineEdit* outputFolderEdit_ = nullptr; // 1011
    QPushButton* browseButton_ = nullptr;   // 1012
    QCheckBox* useSrcPathBox_ = nullptr;    // 1016
    QCheckBox* makeMonoBox_ = nullptr;      // 1017
    QComboBox* normList_ = nullptr;         // 1027
    QLineEdit* gainEdit_ = nullptr;         // 1029
    UpDownControl* gainSpin_ = nullptr;     // 1059
    QLabel* sampleRateLabel_ = nullptr;     // 1051
    QLabel* channelsLabel_ = nullptr;       // 1052
    QLabel* durationLabel_ = nullptr;       // 1053
    QLineEdit* ebThresholdEdit_ = nullptr;  // 1055
    QPushButton* ebGenerate_ = nullptr;     // 1054
    QLineEdit* egPrefilterEdit_ = nullptr;  // 1058
    QLineEdit* egThresholdEdit_ = nullptr;  // 1057
    QPushButton* egGenerate_ = nullptr;     // 1056
    CLogListBox* log_ = nullptr;            // 1000
    QLineEdit* spThresholdEdit_ = nullptr;
    QPushButton* spGenerate_ = nullptr;
    QLabel* speechProgress_ = nullptr;
    TimelinePane* timeline_ = nullptr;
    JobProgressView* jobProgress_ = nullptr; // over the status line while a job runs
    QSize compactSize_;                      // the window without the timeline
    int timelineHeight_ = 0;
    bool timelineWanted_ = true;
    std::string langSetting_; // kestrun.ini's Lang, written back as read
    PreviewDetector previewDetector_ = PreviewDetector::EnergyBased;
    QTimer* previewTimer_ = nullptr; // waits for typing to pause

    // Exchanged with the controls.
    std::string outputFolder_;
    int32_t useSrcPath_ = 0;
    int32_t normIndex_ = -1;
    int32_t gainDb_ = 0;
    int32_t makeMono_ = 0;
    double ebThreshold_ = 0;
    double egThreshold_ = 0;
    double egPrefilter_ = 0;
    double spThreshold_ = 0;

    // The SRT base of the load the window shows, and that load's number in the engine.
    std::string loadedOutputBase_;
    uint64_t loadedLoad_ = 0;

    // The speech model's run on the shown load. The receiver hands the worker's reports
    // to this thread; the worker goes first, as it reports to the receiver.
    enum class SpeechState { None, Running, Ready, Failed };
    SpeechState speechState_ = SpeechState::None;
    int speechPercent_ = 0;
    bool speechPressed_ = false;  // Generate pressed while running
    double pressedThreshold_ = 0; // the threshold of that press
    std::string speechError_;     // when Failed
    std::unique_ptr<ISpeechReceiver> speechReceiver_;
    std::unique_ptr<CSpeechWorker> speechWorker_;
};

} // namespace kestrun
