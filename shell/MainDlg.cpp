// The main window: its controls and layout, the data exchange, drops and job results,
// the Generate runs, the speech model's run on each load, the about box and the close
// path. The settings file is Settings.cpp.
#include "MainDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <thread>
#include <vector>

#include "AboutDlg.h"
#include "DialogUnits.h"
#include "Dialogs.h"
#include "Exchange.h"
#include "File.h"
#include "JobProgressView.h"
#include "LogListBox.h"
#include "Resources.h"
#include "ResultCodes.h"
#include "SpeechModelPath.h"
#include "Srt.h"
#include "TimelinePane.h"
#include "TrayIcon.h"
#include "UpDown.h"
#include "WindowReceiver.h"

namespace kestrun {

namespace {

// The window's size and its controls' rectangles, in dialog units.
constexpr int WINDOW_WIDTH_DU = 282;
constexpr int WINDOW_HEIGHT_DU = 245;
// The timeline under everything else, when shown.
constexpr int TIMELINE_HEIGHT_DU = 110;
// The preview waits this long after the last keystroke in a threshold field.
constexpr int PREVIEW_DELAY_MS = 150;

const char* const NORM_ENTRIES[] = {
    QT_TRANSLATE_NOOP("kestrun::CMainDlg", "Не использовать Replay Gain"),
    "Replay Gain Radio",
    QT_TRANSLATE_NOOP("kestrun::CMainDlg", "Replay Gain Radio [Dither без NS]"),
    "Replay Gain Radio (Dither LNS)",
    "Replay Gain Radio (Dither MNS)",
    "Replay Gain Radio (Dither HNS)",
};

struct Placed {
    QWidget* widget;
    int x, y, width, height;
};

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

// The speech worker's reports, queued to the window's thread. The window joins the worker
// before it goes, so it is there for every call; a report still queued then is dropped
// with the window.
class WindowSpeechReceiver : public ISpeechReceiver {
public:
    explicit WindowSpeechReceiver(CMainDlg* window) : window_(window) {}
    void OnSpeechProgress(uint64_t load, int percent) override {
        QMetaObject::invokeMethod(
            window_, [w = window_, load, percent] { w->OnSpeechProgress(load, percent); },
            Qt::QueuedConnection);
    }
    void OnSpeechDone(uint64_t load, bool ok, const std::string& error) override {
        QMetaObject::invokeMethod(
            window_, [w = window_, load, ok, error] { w->OnSpeechDone(load, ok, error); },
            Qt::QueuedConnection);
    }

private:
    CMainDlg* window_;
};

} // namespace

CMainDlg::CMainDlg(const MainDlgLinks& links, QWidget* parent)
    : QDialog(parent), engine_(links.engine), globals_(links.globals), receiver_(links.receiver),
      jobQueue_(
          links.dispatch,
          [this](const std::string& line, const std::string& lineAfterReset) {
              log_->AppendLogLine(Q(line), Q(lineAfterReset));
          },
          [this](int32_t pendingJobs) { tray_->UpdateBadge(pendingJobs); }),
      tray_(std::make_unique<CTrayIcon>()) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(tr(WINDOW_CAPTION));
    setObjectName(QStringLiteral("mainWindow"));
    setAcceptDrops(true);

    tray_->SetTrayImage(TRAY_IMAGE_NORMAL);
    CreateControls();
    LoadSettings();
    UpdateOutputFolderEnabled();

    if (receiver_) {
        connect(receiver_, &WindowReceiver::jobDone, this, &CMainDlg::OnJobDone,
                Qt::QueuedConnection);
        connect(receiver_, &WindowReceiver::titleChanged, this, &QWidget::setWindowTitle,
                Qt::QueuedConnection);
        connect(receiver_, &WindowReceiver::progressChanged, jobProgress_, &JobProgressView::Show,
                Qt::QueuedConnection);
        receiver_->SetAlive(true);
    }

    // No window menu here that a program can extend: the about box is on the window's
    // context menu and on F1.
    auto* aboutKey = new QShortcut(QKeySequence::HelpContents, this);
    connect(aboutKey, &QShortcut::activated, this, &CMainDlg::ShowAbout);
    setWindowIcon(QIcon(QString::fromUtf8(ICON_APP)));

    LoadSettingsPlacement();
    gainSpin_->SetRange(GAIN_MIN, GAIN_MAX);

    connect(tray_.get(), &CTrayIcon::restoreRequested, this, &CMainDlg::RestoreFromTray);
    connect(tray_.get(), &CTrayIcon::exitRequested, this, [this] {
        RestoreFromTray();
        close();
    });
    trayTimer_ = new QTimer(this);
    trayTimer_->setInterval(TRAY_TIMER_MS);
    connect(trayTimer_, &QTimer::timeout, this,
            [this] { tray_->OnTimer(jobQueue_.pendingJobs()); });
    trayTimer_->start();

    speechReceiver_ = std::make_unique<WindowSpeechReceiver>(this);
    const int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    speechWorker_ = std::make_unique<CSpeechWorker>(
        engine_, *speechReceiver_,
        links.speechAnalyser ? links.speechAnalyser
                             : ModelAnalyser(FindSpeechModel(links.toolFolders)),
        threads);
}

CMainDlg::~CMainDlg() {
    // First: the model's run is cancelled and waited for while all it reports to is here.
    speechWorker_.reset();
    if (receiver_) {
        receiver_->SetAlive(false);
    }
    trayTimer_->stop();
    SaveSettings();
    tray_->Remove();
    jobQueue_.DropQueued();
}

void CMainDlg::CreateControls() {
    const auto label = [this](const char* text, const char* name = nullptr) {
        auto* widget = new QLabel(tr(text), this);
        if (name) {
            widget->setObjectName(QString::fromUtf8(name));
        }
        return widget;
    };
    const auto edit = [this](const char* name, bool readOnly) {
        auto* widget = new QLineEdit(this);
        widget->setObjectName(QString::fromUtf8(name));
        widget->setReadOnly(readOnly);
        return widget;
    };
    const auto button = [this](const char* text, const char* name) {
        auto* widget = new QPushButton(tr(text), this);
        widget->setObjectName(QString::fromUtf8(name));
        widget->setAutoDefault(false); // Enter never presses a button
        return widget;
    };
    const auto check = [this](const char* text, const char* name) {
        auto* widget = new QCheckBox(tr(text), this);
        widget->setObjectName(QString::fromUtf8(name));
        return widget;
    };
    // A frame's line runs through the middle of its caption, so the caption takes no room
    // of its own and a frame drawn inside another (the glitch group) stays inside it.
    const auto frameStyle = [this](bool centred, int captionLeft) {
        return QStringLiteral("QGroupBox { border: 1px solid palette(mid); border-radius: 2px;"
                              " margin-top: %1px; }"
                              "QGroupBox::title { subcontrol-origin: margin;"
                              " subcontrol-position: %2; padding: 0 3px; left: %3px;"
                              " background-color: palette(window); }")
            .arg(fontMetrics().height() / 2)
            .arg(centred ? QStringLiteral("top center") : QStringLiteral("top left"))
            .arg(captionLeft);
    };
    const auto group = [this, &frameStyle](const char* text, bool centred) {
        auto* widget = new QGroupBox(tr(text), this);
        widget->setStyleSheet(frameStyle(centred, centred ? 0 : 6));
        return widget;
    };

    // Created in the order the Tab key visits them.
    QGroupBox* options = group(QT_TR_NOOP("Параметры"), false);
    outputFolderEdit_ = edit("outputFolder", true);
    browseButton_ = button(QT_TR_NOOP("Обзор"), "browse");
    useSrcPathBox_ = check(QT_TR_NOOP("Выводить в каталог исходника"), "useSrcPath");
    makeMonoBox_ = check(QT_TR_NOOP("Сделать моно файл"), "makeMono");
    normList_ = new QComboBox(this);
    normList_->setObjectName(QStringLiteral("normMode"));
    for (const char* entry : NORM_ENTRIES) {
        normList_->addItem(tr(entry));
    }
    gainEdit_ = edit("gain", true);
    gainSpin_ = new UpDownControl(gainEdit_, this);
    gainSpin_->setObjectName(QStringLiteral("gainSpin"));
    QLabel* db = label("db");
    QLabel* rateCaption = label("Sample rate:");
    sampleRateLabel_ = label("", "sampleRate");
    QLabel* channelsCaption = label("nChannels:");
    channelsLabel_ = label("", "channels");
    QLabel* durationCaption = label("Duration:");
    durationLabel_ = label("", "duration");
    QLabel* ebCaption = label("Threshold");
    ebThresholdEdit_ = edit("ebThreshold", false);
    ebGenerate_ = button("Generate", "generateEnergyBased");
    QLabel* prefilterCaption = label("Energy prefilter");
    egPrefilterEdit_ = edit("egPrefilter", false);
    QLabel* egCaption = label("Threshold");
    egThresholdEdit_ = edit("egThreshold", false);
    egGenerate_ = button("Generate", "generateEnergyGlitch");
    QLabel* spCaption = label("Threshold");
    spThresholdEdit_ = edit("spThreshold", false);
    spGenerate_ = button("Generate", "generateSpeech");
    speechProgress_ = label("", "speechProgress");
    log_ = new CLogListBox(this);
    log_->setObjectName(QStringLiteral("log"));
    QLabel* status = label("", "status");
    status->setText(QStringLiteral("Kestrun %1").arg(QStringLiteral(KESTRUN_VERSION)));
    status->setAlignment(Qt::AlignCenter);
    status->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    QGroupBox* energyBased = group("VAD: Energy Based", true);
    QGroupBox* wav = group("WAV", false);
    QGroupBox* energyGlitch = group("VAD: Energy Glitch", true);
    QGroupBox* speechModel = group("VAD: Speech Model", true);
    QLabel* plus = label("+");
    timeline_ = new TimelinePane(this);
    timeline_->hide();
    jobProgress_ = new JobProgressView(this);

    // Frames sit beneath what they frame, or they would take its clicks; among themselves
    // the later one is on top, so its caption covers the line of a frame it overlaps.
    for (QGroupBox* frame : {speechModel, energyGlitch, wav, energyBased, options}) {
        frame->lower();
    }
    SetGenerateEnabled(false);

    const std::vector<Placed> placed = {
        {options, 0, 88, 281, 58},
        {outputFolderEdit_, 3, 98, 223, 12},
        {browseButton_, 230, 96, 49, 16},
        {useSrcPathBox_, 3, 114, 121, 10},
        {makeMonoBox_, 125, 114, 100, 10},
        {normList_, 3, 126, 126, 13},
        // The up-down sits inside the right end of its buddy's rectangle.
        {gainEdit_, 144, 126, 27 - 11, 13},
        {gainSpin_, 144 + 27 - 11, 126, 11, 13},
        {db, 183, 130, 8, 8},
        {rateCaption, 6, 153, 39, 8},
        {sampleRateLabel_, 52, 153, 39, 8},
        {channelsCaption, 6, 166, 39, 8},
        {channelsLabel_, 52, 166, 39, 8},
        {durationCaption, 6, 180, 39, 8},
        {durationLabel_, 52, 180, 59, 8},
        {ebCaption, 120, 153, 32, 8},
        {ebThresholdEdit_, 178, 152, 47, 12},
        {ebGenerate_, 230, 150, 49, 16},
        {prefilterCaption, 120, 177, 48, 8},
        {egPrefilterEdit_, 178, 176, 47, 12},
        {egCaption, 120, 193, 32, 8},
        {egThresholdEdit_, 178, 191, 47, 12},
        {egGenerate_, 230, 189, 49, 16},
        // The progress sits under the WAV box, the threshold under the other thresholds.
        {speechProgress_, 6, 215, 105, 8},
        {spCaption, 120, 215, 32, 8},
        {spThresholdEdit_, 178, 214, 47, 12},
        {spGenerate_, 230, 212, 49, 16},
        {log_, 0, 0, 281, 86},
        {status, 0, 232, 281, 12},
        {energyBased, 114, 141, 167, 67},
        {wav, 0, 141, 115, 67},
        {energyGlitch, 114, 166, 167, 42},
        {speechModel, 0, 204, 281, 28},
        {plus, 134, 128, 8, 8},
    };

    // The font's own units, widened where a caption would not fit its rectangle, so the
    // whole layout grows in proportion rather than clipping text.
    DialogUnits units(font());
    int baseX = units.baseX();
    const int indicator = style()->pixelMetric(QStyle::PM_IndicatorWidth) +
                          style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing) + 2;
    for (const Placed& p : placed) {
        int needed = 0;
        if (auto* caption = qobject_cast<QLabel*>(p.widget); caption && p.width < 100) {
            needed = caption->sizeHint().width();
        } else if (auto* box = qobject_cast<QCheckBox*>(p.widget)) {
            needed = box->fontMetrics().horizontalAdvance(box->text()) + indicator;
        }
        if (needed > 0 && needed * 4 > p.width * baseX) {
            baseX = (needed * 4 + p.width - 1) / p.width;
        }
    }
    units = DialogUnits(baseX, units.baseY());
    for (const Placed& p : placed) {
        p.widget->setGeometry(units.Rect(p.x, p.y, p.width, p.height));
    }
    jobProgress_->setGeometry(status->geometry());
    compactSize_ = QSize(units.X(WINDOW_WIDTH_DU), units.Y(WINDOW_HEIGHT_DU));
    timelineHeight_ = units.Y(TIMELINE_HEIGHT_DU);
    timeline_->setGeometry(0, compactSize_.height(), compactSize_.width(), timelineHeight_);
    setFixedSize(compactSize_);
    // The speech group spans the window, but its caption stands over the right column, in
    // line with the captions of the other two detectors.
    const int captionWidth = fontMetrics().horizontalAdvance(speechModel->title()) + 6;
    speechModel->setStyleSheet(frameStyle(false, units.X(114) + (units.X(167) - captionWidth) / 2));

    connect(browseButton_, &QPushButton::clicked, this, &CMainDlg::OnBrowse);
    connect(useSrcPathBox_, &QCheckBox::clicked, this, &CMainDlg::UpdateOutputFolderEnabled);
    // The user's choices only: a mode set from the settings file leaves the gain enabled.
    connect(normList_, &QComboBox::activated, this, &CMainDlg::UpdateGainEnabled);
    connect(ebGenerate_, &QPushButton::clicked, this, &CMainDlg::OnGenerateEnergyBased);
    connect(egGenerate_, &QPushButton::clicked, this, &CMainDlg::OnGenerateEnergyGlitch);
    connect(spGenerate_, &QPushButton::clicked, this, &CMainDlg::OnGenerateSpeech);

    connect(timeline_, &TimelinePane::exportRequested, this, &CMainDlg::ExportCues);
    connect(timeline_, &TimelinePane::soundUnavailable, this, [this](const QString& why) {
        const QString line = tr("Прослушивание недоступно: %1").arg(why);
        log_->AppendLogLine(line, line);
    });

    // Typing in a threshold field previews that detector once the typing pauses.
    previewTimer_ = new QTimer(this);
    previewTimer_->setSingleShot(true);
    previewTimer_->setInterval(PREVIEW_DELAY_MS);
    connect(previewTimer_, &QTimer::timeout, this, &CMainDlg::UpdatePreview);
    for (const auto& [field, detector] :
         {std::pair{ebThresholdEdit_, PreviewDetector::EnergyBased},
          std::pair{egThresholdEdit_, PreviewDetector::EnergyGlitch},
          std::pair{egPrefilterEdit_, PreviewDetector::EnergyGlitch},
          std::pair{spThresholdEdit_, PreviewDetector::Speech}}) {
        connect(field, &QLineEdit::textEdited, this,
                [this, detector = detector] { PreviewSoon(detector); });
    }

    // The controls start from the members' construction values.
    outputFolderEdit_->setText(Q(outputFolder_));
    useSrcPathBox_->setChecked(useSrcPath_ != 0);
    normList_->setCurrentIndex(normIndex_);
    gainEdit_->setText(QString::number(gainDb_));
    makeMonoBox_->setChecked(makeMono_ != 0);
    ebThresholdEdit_->setText(QStringLiteral("0"));
    egThresholdEdit_->setText(QStringLiteral("0"));
    egPrefilterEdit_->setText(QStringLiteral("0"));
    spThresholdEdit_->setText(QStringLiteral("0"));
}

bool CMainDlg::UpdateData() {
    const auto fail = [this](QLineEdit* field, const std::string& message) {
        ShowMessage(this, MessageKind::Warning, QStringLiteral("Kestrun"), Q(message));
        field->setFocus(Qt::OtherFocusReason);
        field->selectAll();
        return false;
    };
    const auto threshold = [&](QLineEdit* field, double& member) {
        const std::optional<double> value = ParseDecimalDouble(field->text().toStdString());
        if (!value) {
            return fail(field, EnterNumberMessage());
        }
        if (*value < 0.0 || *value > 1.0) {
            return fail(field, NumberRangeMessage(0.0, 1.0));
        }
        member = *value;
        return true;
    };

    outputFolder_ = outputFolderEdit_->text().toStdString();
    useSrcPath_ = useSrcPathBox_->isChecked() ? 1 : 0;
    normIndex_ = normList_->currentIndex();
    const std::optional<int32_t> gain = ParseDecimalInt(gainEdit_->text().toStdString());
    if (!gain) {
        return fail(gainEdit_, EnterIntegerMessage());
    }
    if (*gain < GAIN_MIN || *gain > GAIN_MAX) {
        return fail(gainEdit_, IntegerRangeMessage(GAIN_MIN, GAIN_MAX));
    }
    gainDb_ = *gain;
    makeMono_ = makeMonoBox_->isChecked() ? 1 : 0;
    return threshold(ebThresholdEdit_, ebThreshold_) && threshold(egThresholdEdit_, egThreshold_) &&
           threshold(egPrefilterEdit_, egPrefilter_) && threshold(spThresholdEdit_, spThreshold_);
}

JobOptions CMainDlg::CurrentJobOptions() const {
    JobOptions options;
    options.makeMono = makeMono_ != 0;
    options.gainDb = gainDb_;
    options.normIndex = normIndex_;
    options.useSrcPath = useSrcPath_ != 0;
    options.outputFolder = outputFolder_;
    return options;
}

void CMainDlg::HandleDrop(const QStringList& paths) {
    if (!UpdateData()) {
        return;
    }
    for (const QString& path : paths) {
        const std::string file = path.toStdString();
        if (file.empty() || IsFolder(file)) {
            continue;
        }
        QueueFile(file);
        break; // one file per drop
    }
}

void CMainDlg::OpenFiles(const QStringList& paths) {
    if (paths.isEmpty() || !UpdateData()) {
        return;
    }
    for (const QString& path : paths) {
        if (!path.isEmpty()) {
            QueueFile(path.toStdString());
        }
    }
}

void CMainDlg::QueueFile(const std::string& file) {
    // The model's run on the file shown is of no use any more.
    speechWorker_->Cancel();
    ResetSpeech();
    // Waits at most for a load under way, never for a decoder.
    engine_.Clear();
    loadedLoad_ = 0;
    timeline_->ClearLoad();
    sampleRateLabel_->clear();
    channelsLabel_->clear();
    durationLabel_->clear();
    SetGenerateEnabled(false);
    jobQueue_.CreateJob(file, CurrentJobOptions());
}

void CMainDlg::OnJobDone(const JobResult& result) {
    jobProgress_->Finish();
    if (result.code == RESULT_OK) {
        // Only a load the engine still holds is shown: a drop since may have cleared it.
        QString rate, channels, duration;
        const bool held = engine_.WithLoad(result.loadNumber, [&](CVadEngine& engine) {
            engine.FreeSamples();
            timeline_->SetLoad(engine);
            timeline_->SetSound(result.wavPath);
            rate = QString::number(engine.header().nSamplesPerSec);
            channels = QString::number(engine.header().nChannels);
            duration = Q(FormatTime(static_cast<int32_t>(engine.DurationMs())));
        });
        if (held) {
            sampleRateLabel_->setText(rate);
            channelsLabel_->setText(channels);
            durationLabel_->setText(duration);
            SetGenerateEnabled(true);
            loadedOutputBase_ = result.text;
            loadedLoad_ = result.loadNumber;
            StartSpeech(result.loadNumber, result.wavPath);
            UpdateTimelineShown();
            UpdatePreview();
        }
    }
    QString message = Q(ResultMessage(result.code));
    if (!result.detail.empty()) {
        message += QStringLiteral(": ") + Q(result.detail);
    }
    log_->AppendLogLine(message, message);
    jobQueue_.OnJobDone();
}

void CMainDlg::OnGenerateEnergyBased() {
    previewDetector_ = PreviewDetector::EnergyBased;
    RunDetection(false);
    UpdatePreview();
}

void CMainDlg::OnGenerateEnergyGlitch() {
    previewDetector_ = PreviewDetector::EnergyGlitch;
    RunDetection(true);
    UpdatePreview();
}

void CMainDlg::OnGenerateSpeech() {
    if (!UpdateData()) {
        return;
    }
    previewDetector_ = PreviewDetector::Speech;
    UpdatePreview();
    switch (speechState_) {
    case SpeechState::Running:
        speechPressed_ = true;
        pressedThreshold_ = spThreshold_;
        ShowSpeechState();
        break;
    case SpeechState::Failed:
        ShowSpeechError();
        break;
    case SpeechState::Ready:
    case SpeechState::None: // the engine says what is missing
        RunSpeechDetection(spThreshold_);
        break;
    }
}

void CMainDlg::RunDetection(bool glitch) {
    if (!UpdateData()) {
        return;
    }
    WriteSrt([&](CVadEngine& engine, const std::string& srtPath) {
        return glitch ? engine.RunEnergyGlitch(egThreshold_, egPrefilter_, srtPath)
                      : engine.RunEnergyBased(ebThreshold_, srtPath);
    });
}

void CMainDlg::RunSpeechDetection(double threshold) {
    WriteSrt([threshold](CVadEngine& engine, const std::string& srtPath) {
        return engine.RunSpeech(threshold, srtPath);
    });
}

void CMainDlg::WriteSrt(
    const std::function<DetectionResult(CVadEngine&, const std::string&)>& detect) {
    const std::string srtPath = loadedOutputBase_ + ".srt";
    DetectionResult run;
    const bool held =
        engine_.WithLoad(loadedLoad_, [&](CVadEngine& engine) { run = detect(engine, srtPath); });
    if (!held) {
        // The engine has moved on to another file (or to none): nothing to run on.
        SetGenerateEnabled(false);
        return;
    }
    ShowWriteResult(srtPath, run.written, run.error, run.cues);
}

void CMainDlg::ShowWriteResult(const std::string& path, bool written, const std::string& error,
                               std::size_t cues) {
    if (!written) {
        ShowMessage(this, MessageKind::Error, QStringLiteral("Kestrun"),
                    tr("Не удалось записать файл субтитров:\n%1\n%2").arg(Q(path), Q(error)));
        return;
    }
    ShowMessage(this, MessageKind::Plain, QStringLiteral("Done."), QString::number(cues));
}

void CMainDlg::StartSpeech(uint64_t load, const std::string& wavPath) {
    ResetSpeech();
    speechState_ = SpeechState::Running;
    ShowSpeechState();
    speechWorker_->Start(load, wavPath);
}

void CMainDlg::ResetSpeech() {
    speechState_ = SpeechState::None;
    speechPercent_ = 0;
    speechPressed_ = false;
    speechError_.clear();
    ShowSpeechState();
}

void CMainDlg::OnSpeechProgress(uint64_t load, int percent) {
    if (load != loadedLoad_ || speechState_ != SpeechState::Running) {
        return;
    }
    speechPercent_ = percent;
    ShowSpeechState();
}

void CMainDlg::OnSpeechDone(uint64_t load, bool ok, const std::string& error) {
    if (load != loadedLoad_ || speechState_ != SpeechState::Running) {
        return;
    }
    const bool pressed = speechPressed_;
    speechPressed_ = false;
    if (ok) {
        speechState_ = SpeechState::Ready;
        ShowSpeechState();
        if (previewDetector_ == PreviewDetector::Speech) {
            UpdatePreview();
        }
        if (pressed) {
            RunSpeechDetection(pressedThreshold_);
        }
        return;
    }
    speechState_ = SpeechState::Failed;
    speechError_ = error;
    ShowSpeechState();
    const QString line = tr("Ошибка модели речи: %1").arg(Q(error));
    log_->AppendLogLine(line, line);
    if (pressed) {
        ShowSpeechError();
    }
}

void CMainDlg::ShowSpeechState() {
    QString text;
    switch (speechState_) {
    case SpeechState::None:
        break;
    case SpeechState::Running:
        text = speechPressed_ ? tr("Речь: %1 %, затем SRT").arg(speechPercent_)
                              : tr("Речь: %1 %").arg(speechPercent_);
        break;
    case SpeechState::Ready:
        text = tr("Речь: готово");
        break;
    case SpeechState::Failed:
        text = tr("Речь: ошибка");
        break;
    }
    speechProgress_->setText(text);
    speechProgress_->setToolTip(Q(speechError_));
}

void CMainDlg::ShowSpeechError() {
    ShowMessage(this, MessageKind::Error, QStringLiteral("Kestrun"),
                tr("Ошибка модели речи: %1").arg(Q(speechError_)));
}

void CMainDlg::OnBrowse() {
    std::string path = outputFolderEdit_->text().left(259).toStdString();
    if (BrowseForFolder(this, path, tr("Каталог вывода"))) {
        outputFolderEdit_->setText(Q(path));
    }
}

void CMainDlg::ShowAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CMainDlg::UpdateOutputFolderEnabled() {
    outputFolderEdit_->setEnabled(!useSrcPathBox_->isChecked());
}

void CMainDlg::UpdateGainEnabled() {
    // No selection (-1) counts as a mode: only "no normalisation" disables the gain.
    const bool enabled = normList_->currentIndex() != 0;
    gainEdit_->setEnabled(enabled);
    gainSpin_->setEnabled(enabled);
}

void CMainDlg::SetGenerateEnabled(bool enabled) {
    ebGenerate_->setEnabled(enabled);
    egGenerate_->setEnabled(enabled);
    spGenerate_->setEnabled(enabled);
}

void CMainDlg::RestoreFromTray() {
    if (isHidden() || isMinimized()) {
        showNormal();
    }
    raise();
    activateWindow();
}

void CMainDlg::reject() {
    if (UpdateData()) {
        QDialog::reject();
    }
}

void CMainDlg::EndRun() {
    if (isHidden() || isMinimized()) {
        showNormal(); // the position saved is the normal window's
    }
    QDialog::reject();
}

void CMainDlg::closeEvent(QCloseEvent* event) {
    // Restored first, so the position saved is the normal window's.
    if (isHidden() || isMinimized()) {
        showNormal();
    }
    if (!UpdateData()) {
        event->ignore();
        return;
    }
    event->accept();
    QDialog::reject();
}

void CMainDlg::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized()) {
        return;
    }
    // Without a tray host nothing could bring a hidden window back, so it stays minimised.
    if (globals_.minTray != 0 && tray_->IsAvailable()) {
        QTimer::singleShot(0, this, [this] {
            if (isMinimized()) {
                hide();
            }
        });
    }
}

void CMainDlg::SetTimelineWanted(bool wanted) {
    timelineWanted_ = wanted;
    UpdateTimelineShown();
}

void CMainDlg::UpdateTimelineShown() {
    // Shown from the first load on, and kept while the next file decodes, so the window
    // does not jump with every drop.
    const bool show =
        timelineWanted_ && (timeline_->hasLoad() || loadedLoad_ != 0 || timeline_->isVisible());
    timeline_->setVisible(show);
    setFixedSize(compactSize_.width(), compactSize_.height() + (show ? timelineHeight_ : 0));
}

void CMainDlg::PreviewSoon(PreviewDetector detector) {
    previewDetector_ = detector;
    previewTimer_->start();
}

bool CMainDlg::previewPending() const {
    return previewTimer_->isActive();
}

void CMainDlg::UpdatePreview() {
    previewTimer_->stop();
    if (loadedLoad_ == 0 || !timeline_->hasLoad()) {
        return;
    }
    // The field's value as UpdateData would take it, without a message: a half-typed
    // value leaves the cues shown as they are.
    const auto value = [](const QLineEdit* field) -> std::optional<double> {
        const std::optional<double> v = ParseDecimalDouble(field->text().toStdString());
        return v && *v >= 0.0 && *v <= 1.0 ? v : std::nullopt;
    };
    std::optional<double> threshold;
    std::optional<double> prefilter;
    QString name;
    switch (previewDetector_) {
    case PreviewDetector::EnergyBased:
        threshold = value(ebThresholdEdit_);
        name = QStringLiteral("Energy Based");
        break;
    case PreviewDetector::EnergyGlitch:
        threshold = value(egThresholdEdit_);
        prefilter = value(egPrefilterEdit_);
        name = QStringLiteral("Energy Glitch");
        if (!prefilter) {
            return;
        }
        break;
    case PreviewDetector::Speech:
        threshold = value(spThresholdEdit_);
        name = QStringLiteral("Speech Model");
        if (speechState_ != SpeechState::Ready) {
            timeline_->SetCues({}, name + (speechState_ == SpeechState::Failed
                                               ? tr(": ошибка модели речи")
                                               : tr(": модель речи ещё не готова")));
            return;
        }
        break;
    }
    if (!threshold) {
        return;
    }
    std::vector<Segment> cues;
    const bool held = engine_.WithLoad(loadedLoad_, [&](CVadEngine& engine) {
        switch (previewDetector_) {
        case PreviewDetector::EnergyBased:
            cues = engine.CuesEnergyBased(*threshold);
            break;
        case PreviewDetector::EnergyGlitch:
            cues = engine.CuesEnergyGlitch(*threshold, *prefilter);
            break;
        case PreviewDetector::Speech:
            cues = engine.CuesSpeech(*threshold);
            break;
        }
    });
    if (!held) {
        return;
    }
    const QString caption = tr("%1 — число реплик: %2").arg(name).arg(cues.size());
    timeline_->SetCues(std::move(cues), caption,
                       previewDetector_ == PreviewDetector::EnergyBased ? threshold : std::nullopt);
}

void CMainDlg::ExportCues(CueFormat format) {
    if (loadedLoad_ == 0) {
        return;
    }
    const std::string path = loadedOutputBase_ + std::string(CueFormatExtension(format));
    std::string error;
    const bool written = WriteFileReplacing(path, BuildCues(format, timeline_->cues()), &error);
    ShowWriteResult(path, written, error, timeline_->cues().size());
}

void CMainDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* about = menu.addAction(tr("&О программе..."));
    about->setShortcut(QKeySequence::HelpContents);
    connect(about, &QAction::triggered, this, &CMainDlg::ShowAbout);
    QAction* timeline = menu.addAction(tr("&Шкала времени"));
    timeline->setObjectName(QStringLiteral("timelineToggle"));
    timeline->setCheckable(true);
    timeline->setChecked(timelineWanted_);
    connect(timeline, &QAction::toggled, this, &CMainDlg::SetTimelineWanted);
    menu.exec(event->globalPos());
}

void CMainDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    }
}

void CMainDlg::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            paths.append(url.toLocalFile());
        }
    }
    event->acceptProposedAction();
    // Handled once the drop has ended, so a validation message never holds up the source.
    QMetaObject::invokeMethod(
        this, [this, paths] { HandleDrop(paths); }, Qt::QueuedConnection);
}

} // namespace kestrun
