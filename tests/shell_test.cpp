// The window: settings file, field checks and their three callers, enabling rules, drops,
// files from the command line and from other starts, job results, the Generate runs, the
// speech model's run on each load, the log, minimising to the tray, the exit order with a
// tool still running, and one whole road of a real speech file.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QWheelEvent>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdlib>

#include <cmath>
#include <filesystem>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "Dialogs.h"
#include "Envelope.h"
#include "FakeTool.h"
#include "JobProgressView.h"
#include "Language.h"
#include "LogListBox.h"
#include "MainApp.h"
#include "MainDlg.h"
#include "Playback.h"
#include "ResultCodes.h"
#include "SpeechModelPath.h"
#include "Srt.h"
#include "TestWav.h"
#include "TimelinePane.h"
#include "TrayIcon.h"
#include "UpDown.h"
#include "WindowReceiver.h"

using namespace kestrun;

namespace {

struct Message {
    MessageKind kind;
    QString title;
    QString text;
};

// A window wired to a recording dispatcher instead of a worker.
struct Harness {
    SharedEngine engine;
    GlobalSettings globals;
    std::vector<std::unique_ptr<JobInfo>> dispatched;
    // The stand-in speech model's runs fail with this when set; set only between runs.
    std::string speechError;
    std::unique_ptr<CMainDlg> window;

    Harness() {
        MainDlgLinks links{engine, globals, {}, nullptr, {}, {}};
        links.dispatch = [this](std::unique_ptr<JobInfo> job) {
            dispatched.push_back(std::move(job));
        };
        links.speechAnalyser = [this](const std::string&, const SpeechRunOptions&) {
            SpeechAnalysis analysis;
            analysis.ok = speechError.empty();
            analysis.error = speechError;
            analysis.probabilities.assign(94, 0.9f); // 3 s of speech
            return analysis;
        };
        window = std::make_unique<CMainDlg>(links);
    }
    template <class T> T* Find(const char* name) const {
        T* widget = window->findChild<T*>(QString::fromUtf8(name));
        if (!widget) {
            qFatal("no control named %s", name);
        }
        return widget;
    }
    QString Text(const char* name) const { return Find<QLabel>(name)->text(); }
    QLineEdit* Edit(const char* name) const { return Find<QLineEdit>(name); }
    QPushButton* Button(const char* name) const { return Find<QPushButton>(name); }
    QStringList LogLines() const {
        QStringList lines;
        for (int i = 0; i < window->log().count(); ++i) {
            lines << window->log().item(i)->text();
        }
        return lines;
    }
};

// Three tone bursts with silence between them: 16 kHz mono, 3 s.
std::vector<uint8_t> ToneWav() {
    std::vector<int16_t> samples(48000, 0);
    for (auto [from, to] :
         {std::pair{8000, 16000}, std::pair{24000, 30000}, std::pair{38000, 44000}}) {
        for (int i = from; i < to; ++i) {
            samples[i] = int16_t(12000 * std::sin(i * 0.3));
        }
    }
    return testwav::MakeWav(1, 16000, samples);
}

// The process's resident memory now, from /proc.
long ResidentKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
    }
    return 0;
}

QStringList FileLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll()).remove('\r').split('\n', Qt::SkipEmptyParts);
}

QStringList Keys(const QStringList& lines) {
    QStringList keys;
    for (const QString& line : lines) {
        if (line.contains('=')) {
            keys << line.section('=', 0, 0);
        }
    }
    return keys;
}

int CueCount(const std::string& srt) {
    const QStringList lines = FileLines(QString::fromStdString(srt));
    return int(std::count_if(lines.begin(), lines.end(),
                             [](const QString& l) { return l.contains(QStringLiteral(" --> ")); }));
}

// A drop the way the window system delivers one: the drag enters the window, then drops.
void DropFiles(QWidget* window, const QStringList& paths) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& path : paths) {
        urls << QUrl::fromLocalFile(path);
    }
    mime.setUrls(urls);
    const QPointF at(window->width() / 2, window->height() / 2);
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window->windowHandle(), &enter);
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window->windowHandle(), &drop);
}

// Stands in for the sound device: what it was asked to play, and where it says it is.
struct FakeSound {
    struct Call {
        std::string path;
        uint64_t first = 0;
        uint64_t end = 0;
        bool operator==(const Call&) const = default;
    };
    std::vector<Call> calls;
    int stops = 0;
    std::optional<uint64_t> position;
    std::string failure; // when set, every Play fails with it
};

class FakeOutput : public ISoundOutput {
public:
    explicit FakeOutput(std::shared_ptr<FakeSound> sound) : sound_(std::move(sound)) {}
    bool Play(const std::string& path, uint64_t first, uint64_t end, std::string* why) override {
        if (!sound_->failure.empty()) {
            *why = sound_->failure;
            return false;
        }
        sound_->calls.push_back({path, first, end});
        sound_->position = first;
        return true;
    }
    void Stop() override {
        ++sound_->stops;
        sound_->position.reset();
    }
    std::optional<uint64_t> Position() const override { return sound_->position; }

private:
    std::shared_ptr<FakeSound> sound_;
};

} // namespace

class ShellTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> folder_;
    QString home_;
    std::vector<Message> messages_;
    QStringList pickerCalls_;
    QString pickerAnswer_;

    QString Path(const QString& name) const { return folder_->filePath(name); }
    std::string StdPath(const char* name) const {
        return Path(QString::fromUtf8(name)).toStdString();
    }
    void WriteIni(const char* text) const { testwav::WriteText("kestrun.ini", text); }
    // The tones file dropped and loaded, as the worker would report it.
    void LoadTones(Harness& h) const {
        testwav::WriteFile(StdPath("tones.wav"), ToneWav());
        h.window->HandleDrop({Path("tones.wav")});
        const uint64_t load = h.engine.Load(StdPath("tones.wav"));
        QVERIFY(load != 0);
        h.window->OnJobDone({RESULT_OK, StdPath("tones"), load, StdPath("tones.wav"), false, {}});
    }

private slots:
    // Each test in a folder of its own: the settings file lives in the current folder.
    void init() {
        home_ = QDir::currentPath();
        folder_ = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(folder_->path()));
        messages_.clear();
        pickerCalls_.clear();
        SetMessageSink(
            [this](QWidget*, MessageKind kind, const QString& title, const QString& text) {
                messages_.push_back({kind, title, text});
            });
        SetFolderPicker([this](QWidget*, const QString&, const QString& preselected) {
            pickerCalls_ << preselected;
            return pickerAnswer_;
        });
    }
    void cleanup() {
        QDir::setCurrent(home_);
        folder_.reset();
        SetMessageSink(nullptr);
        SetFolderPicker(nullptr);
    }

    void settingsDefaultsAndKeyOrder() {
        {
            Harness h;
            QVERIFY(h.Find<QCheckBox>("makeMono")->isChecked());
            QVERIFY(h.Find<QCheckBox>("useSrcPath")->isChecked());
            QVERIFY(!h.Edit("outputFolder")->isEnabled());
            QCOMPARE(h.Find<QComboBox>("normMode")->currentIndex(), 0);
            QVERIFY(h.Edit("gain")->isEnabled()); // follows the list only once the user picks
            QCOMPARE(h.Edit("gain")->text(), QStringLiteral("0"));
            QCOMPARE(h.Edit("ebThreshold")->text(), QStringLiteral("0.045"));
            QCOMPARE(h.Edit("egPrefilter")->text(), QStringLiteral("0.005"));
            QCOMPARE(h.Edit("egThreshold")->text(), QStringLiteral("0.0015"));
            QCOMPARE(h.Edit("spThreshold")->text(), QStringLiteral("0.5"));
            QCOMPARE(h.Text("speechProgress"), QString());
            QCOMPARE(h.Edit("outputFolder")->text(), QStringLiteral("./"));
            QCOMPARE(h.window->pos(), QPoint(2, 2));
            QVERIFY(!h.Button("generateEnergyBased")->isEnabled());
            QVERIFY(!h.Button("generateEnergyGlitch")->isEnabled());
            QVERIFY(!h.Button("generateSpeech")->isEnabled());

            // Tab visits the controls in the window's order.
            QStringList chain;
            for (QWidget* w = h.Edit("outputFolder"); chain.size() < 15;
                 w = w->nextInFocusChain()) {
                if (w->focusPolicy() & Qt::TabFocus && !w->objectName().isEmpty()) {
                    chain << w->objectName();
                }
            }
            QCOMPARE(chain, (QStringList{"outputFolder", "browse", "useSrcPath", "makeMono",
                                         "normMode", "gain", "ebThreshold", "generateEnergyBased",
                                         "egPrefilter", "egThreshold", "generateEnergyGlitch",
                                         "spThreshold", "generateSpeech", "log", "outputFolder"}));
            h.window->show();
            h.window->reject(); // Escape: the fields are valid, the window's run ends
            QVERIFY(h.window->isHidden());
        }
        const QStringList lines = FileLines(QStringLiteral("kestrun.ini"));
        QCOMPARE(lines.value(0), QStringLiteral("[Options]"));
        QCOMPARE(Keys(lines), (QStringList{"MINTRAY", "Mono", "tr1", "tr2", "prflt2", "PosX",
                                           "PosY", "Path", "Hidden", "Norm", "Gain", "ShowHint",
                                           "UseSrcPath", "tr3", "Timeline", "Lang"}));
        QVERIFY(lines.contains(QStringLiteral("Timeline=1")));
        QVERIFY(lines.contains(QStringLiteral("Lang=")));
        QVERIFY(lines.contains(QStringLiteral("Path=./")));
        QVERIFY(lines.contains(QStringLiteral("tr2=0.0015")));
        QVERIFY(lines.contains(QStringLiteral("tr3=0.5")));
    }

    void settingsRoundTripAndOddValues() {
        WriteIni("; kept\n[Options]\nMINTRAY=0\nMono=0\nHidden=1\nUseSrcPath=0\nNorm=9\n"
                 "Gain=20\nShowHint=0\nAzidGain=1234567\ntr1=0.050\nPosX=-40\nPosY=30\n"
                 "Path=/tmp/out dir\nUnknown=stays\ntr3=0.70\n[Other]\nx=1\n");
        {
            Harness h;
            QCOMPARE(h.globals.minTray, 0);
            QCOMPARE(h.globals.hideChildren, 1);
            QCOMPARE(h.globals.azidGain, std::string("12345"));
            QVERIFY(!h.Find<QCheckBox>("makeMono")->isChecked());
            QVERIFY(h.Edit("outputFolder")->isEnabled());
            QCOMPARE(h.Edit("outputFolder")->text(), QStringLiteral("/tmp/out dir"));
            QCOMPARE(h.Find<QComboBox>("normMode")->currentIndex(), -1); // names no entry
            QCOMPARE(h.Edit("gain")->text(), QStringLiteral("20"));
            QCOMPARE(h.Edit("ebThreshold")->text(), QStringLiteral("0.050"));
            QCOMPARE(h.Edit("spThreshold")->text(), QStringLiteral("0.70"));
            QCOMPARE(h.window->pos(), QPoint(2, 30));

            // Gain 20 is refused until the up-down brings it into range.
            QVERIFY(!h.window->UpdateData());
            QCOMPARE(messages_.back().text, QStringLiteral("Введите целое число от -12 до 12."));
            h.Find<UpDownControl>("gainSpin")->downButton()->click();
            QCOMPARE(h.Edit("gain")->text(), QStringLiteral("11"));
            QVERIFY(h.window->UpdateData());
            QCOMPARE(h.window->normIndex(), -1);
            h.window->move(-40, 50); // dragged partly off the left edge
        }
        const QStringList lines = FileLines(QStringLiteral("kestrun.ini"));
        QCOMPARE(lines.value(0), QStringLiteral("; kept"));
        for (const char* expected :
             {"MINTRAY=0", "Mono=0", "Hidden=1", "UseSrcPath=0", "Norm=-1", "Gain=11", "ShowHint=0",
              "AzidGain=1234567", "tr1=0.050", "tr3=0.70", "PosX=0", "PosY=50", "Path=/tmp/out dir",
              "Unknown=stays", "[Other]", "x=1"}) {
            QVERIFY2(lines.contains(QString::fromUtf8(expected)), expected);
        }
        QCOMPARE(lines.count(QStringLiteral("AzidGain=1234567")), 1);

        // A window closed below the usable screen leaves the saved position alone.
        {
            Harness h;
            h.window->move(10, 5000);
        }
        QVERIFY(FileLines(QStringLiteral("kestrun.ini")).contains(QStringLiteral("PosY=50")));
    }

    void fieldChecksStopEachCaller() {
        Harness h;
        h.window->show();
        testwav::WriteFile(StdPath("a.wav"), ToneWav());

        // Checked in order: the gain comes before the thresholds.
        h.Edit("gain")->setText(QStringLiteral("x"));
        h.Edit("egPrefilter")->setText(QStringLiteral("abc"));
        h.window->HandleDrop({Path("a.wav")});
        QCOMPARE(messages_.back().text, QStringLiteral("Введите целое число."));
        QVERIFY(h.dispatched.empty());
        QCOMPARE(h.window->focusWidget(), h.Edit("gain"));
        h.Edit("gain")->setText(QStringLiteral("0"));

        // Drop, Generate and close are all held back by the bad prefilter.
        h.window->HandleDrop({Path("a.wav")});
        QVERIFY(h.dispatched.empty());
        QCOMPARE(messages_.back().text, QStringLiteral("Введите число."));
        QCOMPARE(h.window->focusWidget(), h.Edit("egPrefilter"));
        h.window->OnGenerateEnergyBased();
        h.window->reject();
        QVERIFY(h.window->isVisible());
        h.window->close();
        QVERIFY(h.window->isVisible());
        QCOMPARE(messages_.size(), std::size_t(5));

        // Range and separator: a comma is not a decimal separator here, whatever the locale.
        for (const char* bad : {"1.5", "-0.1", "0,5", "nan", "inf", "0x1p-3"}) {
            h.Edit("egPrefilter")->setText(QString::fromUtf8(bad));
            QVERIFY2(!h.window->UpdateData(), bad);
        }
        QCOMPARE(messages_.back().text, QStringLiteral("Введите число."));
        h.Edit("egPrefilter")->setText(QStringLiteral("1.5"));
        QVERIFY(!h.window->UpdateData());
        QCOMPARE(messages_.back().text, QStringLiteral("Введите число от 0 до 1."));
        for (const char* good : {"0", "1", " 0.25 ", "+1e-3", "1.0"}) {
            h.Edit("egPrefilter")->setText(QString::fromUtf8(good));
            QVERIFY2(h.window->UpdateData(), good);
        }
        QCOMPARE(h.window->egPrefilter(), 1.0);

        // Enter in a threshold edit neither closes the window nor starts anything.
        const std::size_t before = messages_.size();
        QTest::keyClick(h.Edit("ebThreshold"), Qt::Key_Return);
        QVERIFY(h.window->isVisible());
        QCOMPARE(messages_.size(), before);

        // The speech threshold comes last and holds back each caller the same way.
        h.Edit("spThreshold")->setText(QStringLiteral("1.5"));
        h.window->HandleDrop({Path("a.wav")});
        h.window->OnGenerateSpeech();
        h.window->close();
        QVERIFY(h.window->isVisible());
        QVERIFY(h.dispatched.empty());
        QCOMPARE(messages_.size(), before + 3);
        QCOMPARE(messages_.back().text, QStringLiteral("Введите число от 0 до 1."));
        QCOMPARE(h.window->focusWidget(), h.Edit("spThreshold"));
        h.Edit("spThreshold")->setText(QStringLiteral("0.25"));

        h.window->HandleDrop({Path("a.wav")});
        QCOMPARE(h.dispatched.size(), std::size_t(1));
        QCOMPARE(h.window->spThreshold(), 0.25);
    }

    // Under a locale whose decimal separator is a comma, thresholds still take a point.
    void thresholdsIgnoreTheUsersLocale() {
        const QString locales = Path("locales");
        QDir().mkpath(locales);
        if (QProcess::execute(QStringLiteral("localedef"),
                              {"-i", "ru_RU", "-f", "UTF-8", locales + "/ru_RU.UTF-8"}) != 0) {
            QSKIP("localedef could not build ru_RU.UTF-8 (package locales missing)");
        }
        qputenv("LOCPATH", locales.toLocal8Bit());
        const std::string previous = std::setlocale(LC_ALL, nullptr);
        QVERIFY(std::setlocale(LC_ALL, "ru_RU.UTF-8"));
        QCOMPARE(std::strtod("0,5", nullptr), 0.5); // the C library now reads commas

        WriteIni("[Options]\ntr1=0.25\n");
        {
            Harness h;
            QVERIFY(h.window->UpdateData());
            QCOMPARE(h.window->ebThreshold(), 0.25);
            h.Edit("egPrefilter")->setText(QStringLiteral("0,5"));
            QVERIFY(!h.window->UpdateData());
            h.Edit("egPrefilter")->setText(QStringLiteral("0.125"));
            QVERIFY(h.window->UpdateData());
            QCOMPARE(h.window->egPrefilter(), 0.125);
        }
        std::setlocale(LC_ALL, previous.c_str());
        qunsetenv("LOCPATH");
        const QStringList lines = FileLines(QStringLiteral("kestrun.ini"));
        QVERIFY(lines.contains(QStringLiteral("tr1=0.25")));
        QVERIFY(lines.contains(QStringLiteral("prflt2=0.125")));
    }

    void enablingRulesAndFolderPicker() {
        Harness h;
        h.window->show();
        auto* useSrc = h.Find<QCheckBox>("useSrcPath");
        QTest::mouseClick(useSrc, Qt::LeftButton);
        QVERIFY(h.Edit("outputFolder")->isEnabled());
        QTest::mouseClick(useSrc, Qt::LeftButton);
        QVERIFY(!h.Edit("outputFolder")->isEnabled());

        // "Обзор" still works while the edit is disabled; a cancel leaves its text as it was.
        h.Edit("outputFolder")->setText(QStringLiteral("  /srv/media// "));
        pickerAnswer_ = QString();
        h.Button("browse")->click();
        QCOMPARE(pickerCalls_.back(), QStringLiteral("/srv/media"));
        QCOMPARE(h.Edit("outputFolder")->text(), QStringLiteral("  /srv/media// "));
        pickerAnswer_ = Path("out");
        h.Button("browse")->click();
        QCOMPARE(h.Edit("outputFolder")->text(), Path("out"));

        auto* list = h.Find<QComboBox>("normMode");
        for (const auto& [index, enabled] :
             {std::pair{3, true}, std::pair{0, false}, std::pair{1, true}}) {
            list->setCurrentIndex(index);
            emit list->activated(index); // as when the user picks the entry
            QCOMPARE(h.Edit("gain")->isEnabled(), enabled);
        }

        // One step per click, never past -12..12; the arrow keys step too.
        auto* spin = h.Find<UpDownControl>("gainSpin");
        h.Edit("gain")->setText(QStringLiteral("0"));
        for (int i = 0; i < 15; ++i) {
            spin->upButton()->click();
        }
        QCOMPARE(h.Edit("gain")->text(), QStringLiteral("12"));
        for (int i = 0; i < 30; ++i) {
            spin->downButton()->click();
        }
        QCOMPARE(h.Edit("gain")->text(), QStringLiteral("-12"));
        QTest::keyClick(h.Edit("gain"), Qt::Key_Up);
        QCOMPARE(h.Edit("gain")->text(), QStringLiteral("-11"));
    }

    void dropsQueueJobsAndCountThem() {
        Harness h;
        h.window->show();
        QDir(folder_->path()).mkdir(QStringLiteral("folder"));
        testwav::WriteFile(StdPath("talk.day1.AVI"), {1, 2, 3});
        testwav::WriteFile(StdPath("second.mp3"), {1, 2, 3});

        h.window->HandleDrop({Path("folder")});
        QVERIFY(h.dispatched.empty());
        QVERIFY(h.LogLines().isEmpty());

        // Only the first path that is not a folder becomes a job.
        DropFiles(h.window.get(), {Path("folder"), Path("talk.day1.AVI"), Path("second.mp3")});
        QTRY_COMPARE(h.dispatched.size(), std::size_t(1));
        const JobInfo& job = *h.dispatched[0];
        QCOMPARE(job.extension, std::string("AVI"));
        QCOMPARE(job.outputBase, StdPath("talk.day1"));
        QCOMPARE(job.monoFlag, MONO_FLAG_SET);
        QCOMPARE(h.LogLines(), QStringList{"talk.day1.AVI"});
        QCOMPARE(h.window->log().currentRow(), 0);
        QCOMPARE(h.window->tray().image(), CTrayIcon::Image::Badge);
        QCOMPARE(h.window->tray().badgeNumber(), 1u);

        // A second drop waits behind the first; its result lets it go.
        h.window->HandleDrop({Path("second.mp3")});
        QCOMPARE(h.dispatched.size(), std::size_t(1));
        QCOMPARE(h.window->jobQueue().pendingJobs(), 2);
        QCOMPARE(h.window->tray().badgeNumber(), 2u);
        h.window->OnJobDone({RESULT_PROCESS_INTERRUPTED, job.outputBase, 0, {}, false, {}});
        QCOMPARE(h.dispatched.size(), std::size_t(2));
        QCOMPARE(h.window->jobQueue().pendingJobs(), 1);
        QCOMPARE(h.window->tray().badgeNumber(), 1u);
        // A refused file's line says what the file is.
        h.window->OnJobDone({RESULT_BAD_WAV,
                             h.dispatched[1]->outputBase,
                             0,
                             {},
                             false,
                             "WAV в формате A-law (код 6)"});
        QCOMPARE(h.window->jobQueue().pendingJobs(), 0);
        QCOMPARE(h.window->tray().blinkCount(), BLINK_AFTER_QUEUE);
        QCOMPARE(
            h.LogLines(),
            (QStringList{"talk.day1.AVI", "second.mp3", "Процесс прерван",
                         "Ошибка. (нет памяти или плохой файл): WAV в формате A-law (код 6)"}));
        QVERIFY(!h.Button("generateEnergyBased")->isEnabled());
    }

    // Files from the command line or another start: the fields are checked once, as for a
    // drop, before any is queued; a start that only brings the window forward checks nothing.
    void openFilesChecksTheFieldsFirst() {
        Harness h;
        h.Edit("gain")->setText(QStringLiteral("99"));
        h.window->OpenFiles({Path("one.wav"), Path("two.mp3")});
        QVERIFY(h.dispatched.empty());
        QCOMPARE(messages_.size(), std::size_t(1));
        h.window->OpenFiles({});
        QCOMPARE(messages_.size(), std::size_t(1));

        h.Edit("gain")->setText(QStringLiteral("3"));
        h.window->OpenFiles({Path("one.wav"), QString(), Path("two.mp3")});
        QCOMPARE(messages_.size(), std::size_t(1));
        QCOMPARE(h.LogLines(), (QStringList{"one.wav", "two.mp3"}));
        QCOMPARE(h.dispatched.at(0)->gain, 3);
    }

    // The program's side, worker and all: files given before the window is up wait for it,
    // files handed over while it runs are queued at once and bring it out of hiding, and once
    // its run is over it takes no more, so that the sender can make a window of its own.
    void filesGivenAtStartAndWhileRunning() {
        std::vector<int16_t> stereo(16000);
        for (std::size_t i = 0; i < stereo.size(); ++i) {
            stereo[i] = int16_t(8000 * std::sin(double(i) * 0.2));
        }
        testwav::WriteFile(StdPath("first.wav"), testwav::MakeWav(2, 16000, stereo));
        testwav::WriteFile(StdPath("later.wav"), testwav::MakeWav(2, 16000, stereo));
        QDir(folder_->path()).mkdir(QStringLiteral("folder"));

        CMainApp app;
        QVERIFY(app.InitInstance());
        QVERIFY(app.OpenFiles({Path("first.wav"), Path("missing.wav")}));
        QVERIFY(app.OpenFiles({Path("folder")}));
        const QString done = QString::fromStdString(ResultMessage(RESULT_OK));
        QStringList lines;
        bool shownAgain = false;
        QElapsedTimer clock;
        clock.start();
        app.SetOnWindowShown([&](CMainDlg& window) {
            auto* poll = new QTimer(&window);
            QObject::connect(poll, &QTimer::timeout, &window, [&, poll] {
                // Three results of the start's files first, then the one handed over.
                const int count = window.log().count();
                if (count == 6 && window.jobQueue().pendingJobs() == 0 && !shownAgain) {
                    window.hide(); // in the tray
                    QVERIFY(app.OpenFiles({Path("later.wav")}));
                    shownAgain = window.isVisible();
                }
                // A lost job would leave the window waiting for ever.
                if (count < 8 && clock.elapsed() < 60'000) {
                    return;
                }
                poll->stop();
                for (int i = 0; i < window.log().count(); ++i) {
                    lines << window.log().item(i)->text();
                }
                window.close();
            });
            poll->start(20);
        });
        app.RunMainWindow();
        QVERIFY(!app.OpenFiles({Path("after.wav")}));
        app.ExitInstance();

        QVERIFY(shownAgain);
        QCOMPARE(lines.size(), 8);
        QCOMPARE(lines.mid(0, 3), (QStringList{"first.wav", "missing.wav", "folder"}));
        QCOMPARE(lines[3], done);
        QVERIFY2(lines[4].endsWith(QStringLiteral(": файл не найден")), qPrintable(lines[4]));
        QVERIFY2(lines[5].endsWith(QStringLiteral(": это папка, а не файл")), qPrintable(lines[5]));
        QCOMPARE(lines.mid(6), (QStringList{"later.wav", done}));
        // The worker had the real files: both were made mono in place.
        QCOMPARE(testwav::ReadFile(StdPath("first.wav")).at(22), '\x01');
        QCOMPARE(testwav::ReadFile(StdPath("later.wav")).at(22), '\x01');
    }

    void loadedJobShowsLabelsAndGenerateWritesSrt() {
        Harness h;
        h.window->show();
        testwav::WriteFile(StdPath("tones.wav"), ToneWav());
        h.window->HandleDrop({Path("tones.wav")});
        const uint64_t load = h.engine.Load(StdPath("tones.wav"));
        QVERIFY(load != 0);
        h.window->OnJobDone({RESULT_OK, StdPath("tones"), load, StdPath("tones.wav"), false, {}});
        QCOMPARE(h.Text("sampleRate"), QStringLiteral("16000"));
        QCOMPARE(h.Text("channels"), QStringLiteral("1"));
        QCOMPARE(h.Text("duration"), QStringLiteral("00:00:03,000"));
        QCOMPARE(h.LogLines().back(), QStringLiteral("Загрузка завершена."));
        QCOMPARE(h.window->log().currentRow(), 1);

        for (const char* button : {"generateEnergyBased", "generateEnergyGlitch"}) {
            messages_.clear();
            QVERIFY(h.Button(button)->isEnabled());
            QTest::mouseClick(h.Button(button), Qt::LeftButton);
            QCOMPARE(messages_.size(), std::size_t(1));
            QCOMPARE(messages_[0].title, QStringLiteral("Done."));
            QCOMPARE(messages_[0].kind, MessageKind::Plain);
            QCOMPARE(messages_[0].text.toInt(), CueCount(StdPath("tones.srt")));
            QVERIFY(messages_[0].text.toInt() > 0);
        }

        // An SRT that cannot be written is an error naming the file, never "Done." with 0.
        QDir(folder_->path()).mkdir(QStringLiteral("tones.srt.blocker"));
        QFile::remove(Path("tones.srt"));
        QDir(folder_->path()).mkdir(QStringLiteral("tones.srt"));
        messages_.clear();
        h.Button("generateEnergyBased")->click();
        QCOMPARE(messages_.size(), std::size_t(1));
        QCOMPARE(messages_[0].kind, MessageKind::Error);
        QVERIFY(messages_[0].text.contains(Path("tones.srt")));
    }

    void resultsOfLoadsTheEngineNoLongerHolds() {
        Harness h;
        h.window->show();
        testwav::WriteFile(StdPath("a.wav"), ToneWav());
        testwav::WriteFile(StdPath("b.wav"), ToneWav());

        // A drop while a load was under way cleared it before its report arrived.
        h.window->HandleDrop({Path("a.wav")});
        const uint64_t loadA = h.engine.Load(StdPath("a.wav"));
        h.window->HandleDrop({Path("b.wav")});
        h.window->OnJobDone({RESULT_OK, StdPath("a"), loadA, StdPath("a.wav"), false, {}});
        QCOMPARE(h.Text("sampleRate"), QString());
        QCOMPARE(h.Text("duration"), QString());
        QVERIFY(!h.Button("generateEnergyBased")->isEnabled());
        QCOMPARE(h.LogLines().back(), QStringLiteral("Загрузка завершена."));

        // Generate pressed while the next job's load has replaced the shown one.
        const uint64_t loadB = h.engine.Load(StdPath("b.wav"));
        h.window->OnJobDone({RESULT_OK, StdPath("b"), loadB, StdPath("b.wav"), false, {}});
        QVERIFY(h.Button("generateEnergyGlitch")->isEnabled());
        h.engine.Load(StdPath("a.wav"));
        messages_.clear();
        h.Button("generateEnergyGlitch")->click();
        QVERIFY(messages_.empty());
        QVERIFY(!QFile::exists(Path("b.srt")));
        QVERIFY(!QFile::exists(Path("a.srt")));
        QVERIFY(!h.Button("generateEnergyBased")->isEnabled());
        QVERIFY(!h.Button("generateEnergyGlitch")->isEnabled());
    }

    // The model runs on each load; a press while it runs is carried out when it ends, and
    // a failed run leaves the other detectors working.
    void speechRunFollowsTheLoad() {
        Harness h;
        h.window->show();
        testwav::WriteFile(StdPath("tones.wav"), ToneWav());
        const auto load = [&] {
            h.window->HandleDrop({Path("tones.wav")});
            const uint64_t number = h.engine.Load(StdPath("tones.wav"));
            h.window->OnJobDone(
                {RESULT_OK, StdPath("tones"), number, StdPath("tones.wav"), false, {}});
        };
        // The run's report is queued, so the window counts it as running until it is read.
        load();
        QCOMPARE(h.Text("speechProgress"), QStringLiteral("Речь: 0 %"));
        h.Button("generateSpeech")->click();
        QCOMPARE(h.Text("speechProgress"), QStringLiteral("Речь: 0 %, затем SRT"));
        h.window->OnSpeechProgress(h.engine.CurrentLoad(), 100);
        QCOMPARE(h.Text("speechProgress"), QStringLiteral("Речь: 100 %, затем SRT"));
        auto* progress = h.Find<QLabel>("speechProgress");
        QVERIFY(progress->sizeHint().width() <= progress->width()); // the longest text fits
        QVERIFY(messages_.empty());
        QTRY_COMPARE(messages_.size(), std::size_t(1));
        QCOMPARE(messages_[0].title, QStringLiteral("Done."));
        QCOMPARE(messages_[0].text.toInt(), CueCount(StdPath("tones.srt")));
        QVERIFY(messages_[0].text.toInt() > 0);
        QCOMPARE(h.Text("speechProgress"), QStringLiteral("Речь: готово"));
        h.Button("generateSpeech")->click(); // ready: at once
        QCOMPARE(messages_.size(), std::size_t(2));

        // A drop discards the run and its label; the next load's run fails.
        h.window->HandleDrop({Path("tones.wav")});
        QCOMPARE(h.Text("speechProgress"), QString());
        h.speechError = "speech model not found: /nowhere/model.onnx";
        load();
        h.Button("generateSpeech")->click(); // before the report can arrive
        const QString error =
            QStringLiteral("Ошибка модели речи: speech model not found: /nowhere/model.onnx");
        QTRY_COMPARE(messages_.size(), std::size_t(3));
        QCOMPARE(messages_[2].kind, MessageKind::Error);
        QCOMPARE(messages_[2].text, error);
        QCOMPARE(h.LogLines().back(), error);
        QCOMPARE(h.Text("speechProgress"), QStringLiteral("Речь: ошибка"));
        h.Button("generateEnergyBased")->click();
        QCOMPARE(messages_.back().title, QStringLiteral("Done."));
    }

    // The timeline: shown from the first load, hidden and shown again with the key kept.
    void timelineShownOnceLoadedAndTheToggleKept() {
        {
            Harness h;
            h.window->show();
            const int compact = h.window->height();
            QVERIFY(!h.window->timeline().isVisible());
            LoadTones(h);
            QVERIFY(h.window->timeline().isVisible());
            QVERIFY(h.window->height() > compact + 50);
            QCOMPARE(h.window->timeline().durationMs(), 3000.0);
            QCOMPARE(h.window->timeline().geometry().top(), compact);
            h.window->SetTimelineWanted(false);
            QVERIFY(!h.window->timeline().isVisible());
            QCOMPARE(h.window->height(), compact);
        }
        QVERIFY(FileLines(QStringLiteral("kestrun.ini")).contains(QStringLiteral("Timeline=0")));
        {
            Harness h;
            h.window->show();
            QVERIFY(!h.window->timelineWanted());
            LoadTones(h);
            QVERIFY(!h.window->timeline().isVisible());
            h.window->SetTimelineWanted(true);
            QVERIFY(h.window->timeline().isVisible());
        }
        QVERIFY(FileLines(QStringLiteral("kestrun.ini")).contains(QStringLiteral("Timeline=1")));
    }

    // What the timeline shows for a field's value is what Generate then writes with it,
    // for every detector, typed into the field as a user would.
    void previewShowsTheCuesGenerateWrites() {
        Harness h;
        h.window->show();
        LoadTones(h);
        QTRY_COMPARE(h.Text("speechProgress"), QStringLiteral("Речь: готово"));
        const TimelinePane& pane = h.window->timeline();
        struct Try {
            const char* field;
            const char* value;
            const char* button;
            CMainDlg::PreviewDetector detector;
        };
        const Try tries[] = {
            {"ebThreshold", "0.01", "generateEnergyBased", CMainDlg::PreviewDetector::EnergyBased},
            {"ebThreshold", "0.3", "generateEnergyBased", CMainDlg::PreviewDetector::EnergyBased},
            {"ebThreshold", "0.95", "generateEnergyBased", CMainDlg::PreviewDetector::EnergyBased},
            {"egThreshold", "0.0015", "generateEnergyGlitch",
             CMainDlg::PreviewDetector::EnergyGlitch},
            {"egPrefilter", "0.2", "generateEnergyGlitch", CMainDlg::PreviewDetector::EnergyGlitch},
            {"egThreshold", "0.05", "generateEnergyGlitch",
             CMainDlg::PreviewDetector::EnergyGlitch},
            {"spThreshold", "0.5", "generateSpeech", CMainDlg::PreviewDetector::Speech},
            {"spThreshold", "0.95", "generateSpeech", CMainDlg::PreviewDetector::Speech},
        };
        QSet<QString> different;
        for (const Try& t : tries) {
            const QString what = QStringLiteral("%1=%2").arg(t.field, t.value);
            QLineEdit* field = h.Edit(t.field);
            field->selectAll();
            QTest::keyClicks(field, QString::fromUtf8(t.value));
            QCOMPARE(h.window->previewDetector(), t.detector);
            // Shown once the typing pauses, and nothing written for it.
            QFile::remove(Path("tones.srt"));
            QVERIFY(h.window->previewPending());
            QTRY_VERIFY(!h.window->previewPending());
            QVERIFY(!QFile::exists(Path("tones.srt")));
            const std::vector<Segment> shown = pane.cues();
            QVERIFY2(pane.caption().endsWith(QString::number(shown.size())), qPrintable(what));
            messages_.clear();
            h.Button(t.button)->click();
            QCOMPARE(messages_.size(), std::size_t(1));
            QCOMPARE(messages_[0].title, QStringLiteral("Done."));
            const std::string written = testwav::ReadFile(StdPath("tones.srt"));
            QVERIFY2(BuildSrt(shown) == written, qPrintable(what));
            QVERIFY2(pane.cues() == shown, qPrintable(what));
            different.insert(QString::fromStdString(written));
        }
        QVERIFY(different.size() >= 4);

        // A half-typed value leaves the cues as they are.
        const std::vector<Segment> kept = pane.cues();
        h.Edit("ebThreshold")->selectAll();
        QTest::keyClicks(h.Edit("ebThreshold"), QStringLiteral("0,"));
        QTRY_VERIFY(!h.window->previewPending());
        QVERIFY(pane.cues() == kept);
    }

    // The pane drawn offscreen: the cue spans fall where their times say.
    void timelineDrawsCueSpansWhereTheyBelong() {
        Harness h;
        h.window->show();
        LoadTones(h);
        TimelinePane& pane = h.window->timeline();
        // Over the silence before the first tone, where no envelope covers the top row.
        pane.SetCues({{100, 400}, {4200, 4300}}, QStringLiteral("test"));
        pane.FitAll();
        const QImage image = pane.grab().toImage();
        const int row = pane.fontMetrics().height() + 6 + 2;
        QList<int> orange;
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, row);
            if (c.red() > c.blue() + 40) {
                orange << x;
            }
        }
        QVERIFY(!orange.isEmpty());
        QVERIFY(std::abs(orange.first() - pane.XOfMs(100)) <= 1.0);
        QVERIFY(std::abs(orange.last() + 1 - pane.XOfMs(400)) <= 1.0); // the pixel before the end
        QCOMPARE(orange.size(), orange.last() - orange.first() + 1);
    }

    // Zoom and drag move the view about the pointer; the scroll bar follows; 0 fits.
    void timelineZoomAndScrollKeepTheTimeUnderThePointer() {
        Harness h;
        h.window->show();
        LoadTones(h);
        TimelinePane& pane = h.window->timeline();
        QCOMPARE(pane.viewSpanMs(), 3000.0);
        for (const double x : {10.0, 120.0, double(pane.width() - 5)}) {
            const double at = pane.MsAtX(x);
            QWheelEvent wheel(QPointF(x, 40), pane.mapToGlobal(QPointF(x, 40)), QPoint(),
                              QPoint(0, 240), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                              false);
            QApplication::sendEvent(&pane, &wheel);
            QVERIFY(pane.viewSpanMs() < 3000.0 / 1.5);
            QVERIFY(std::abs(pane.MsAtX(x) - at) < 1.0);
            pane.FitAll();
        }
        pane.ZoomAt(8.0, 50);
        const double span = pane.viewSpanMs();
        const double grabbed = pane.MsAtX(200);
        QTest::mousePress(&pane, Qt::LeftButton, {}, QPoint(200, 40));
        QTest::mouseMove(&pane, QPoint(150, 40));
        QTest::mouseMove(&pane, QPoint(100, 40));
        QTest::mouseRelease(&pane, Qt::LeftButton, {}, QPoint(100, 40));
        QCOMPARE(pane.viewSpanMs(), span);
        QVERIFY(std::abs(pane.MsAtX(100) - grabbed) < 1.0);
        auto* scroll = h.Find<QScrollBar>("timelineScroll");
        QCOMPARE(scroll->value(), int(std::lround(pane.viewStartMs())));
        scroll->setValue(scroll->maximum());
        QVERIFY(std::abs(pane.viewStartMs() + pane.viewSpanMs() - 3000.0) < 1.0);
        // Never past either end, never shorter than a few frames.
        pane.ZoomAt(1e9, 10);
        QVERIFY(pane.viewSpanMs() >= 100.0);
        pane.setFocus();
        QTest::keyClick(&pane, Qt::Key_0);
        QCOMPARE(pane.viewStartMs(), 0.0);
        QCOMPARE(pane.viewSpanMs(), 3000.0);
        QTest::keyClick(&pane, Qt::Key_Plus);
        QCOMPARE(pane.viewSpanMs(), 1500.0);
    }

    // The pane's menu saves the cues it shows, in each format, beside the SRT.
    void timelineMenuSavesTheCuesShownInEachFormat() {
        Harness h;
        h.window->show();
        LoadTones(h);
        TimelinePane& pane = h.window->timeline();
        pane.SetCues({{0, 548}, {947, 1248}}, QStringLiteral("test"));
        const std::tuple<const char*, const char*, const char*> formats[] = {
            {"export-srt", "tones.srt",
             "1\r\n00:00:00,000 --> 00:00:00,548\r\n1\r\n\r\n"
             "2\r\n00:00:00,947 --> 00:00:01,248\r\n2\r\n\r\n"},
            {"export-vtt", "tones.vtt",
             "WEBVTT\n\n1\n00:00:00.000 --> 00:00:00.548\n1\n\n"
             "2\n00:00:00.947 --> 00:00:01.248\n2\n\n"},
            {"export-labels", "tones.txt", "0.000000\t0.548000\t1\n0.947000\t1.248000\t2\n"},
            {"export-csv", "tones.csv", "start,end\n0.000,0.548\n0.947,1.248\n"},
        };
        for (const auto& [action, file, text] : formats) {
            messages_.clear();
            QTimer::singleShot(0, &pane, [&, action = action] {
                QWidget* popup = QApplication::activePopupWidget();
                QVERIFY(popup && popup->objectName() == QStringLiteral("timelineMenu"));
                auto* menu = qobject_cast<QMenu*>(popup);
                QAction* chosen = menu->findChild<QAction*>(QString::fromUtf8(action));
                QVERIFY(chosen);
                chosen->trigger();
                menu->close();
            });
            QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 40),
                                    pane.mapToGlobal(QPoint(20, 40)));
            QApplication::sendEvent(&pane, &event);
            QCOMPARE(messages_.size(), std::size_t(1));
            QCOMPARE(messages_[0].title, QStringLiteral("Done."));
            QCOMPARE(messages_[0].text, QStringLiteral("2"));
            QCOMPARE(testwav::ReadFile(StdPath(file)), std::string(text));
        }
    }

    void envelopeRangesMatchAPlainScan() {
        std::vector<double> energies(5000);
        uint32_t x = 1;
        for (double& e : energies) {
            x = x * 1664525u + 1013904223u;
            e = (x >> 8) % 7 == 0 ? 0.0 : double(x >> 12);
        }
        EnergyEnvelope envelope;
        const double peak = *std::max_element(energies.begin(), energies.end());
        envelope.Build(energies, peak);
        QCOMPARE(envelope.frames(), energies.size());
        const auto level = [&](double e) {
            return e > 0 ? std::max(ENVELOPE_FLOOR_DB, 10 * std::log10(e / peak))
                         : ENVELOPE_FLOOR_DB;
        };
        for (int k = 0; k < 3000; ++k) {
            x = x * 1664525u + 1013904223u;
            const std::size_t first = (x >> 4) % energies.size();
            const std::size_t last = first + 1 + (x >> 16) % (k % 2 ? 9 : energies.size());
            double low = 0, high = ENVELOPE_FLOOR_DB;
            for (std::size_t i = first; i < std::min(last, energies.size()); ++i) {
                low = std::min(low, level(energies[i]));
                high = std::max(high, level(energies[i]));
            }
            const EnergyEnvelope::Range r = envelope.RangeOf(first, last);
            QVERIFY(std::abs(r.low - low) <= 0.005 && std::abs(r.high - high) <= 0.005);
        }
        QCOMPARE(envelope.RangeOf(10, 10).high, ENVELOPE_FLOOR_DB);
        QVERIFY(envelope.bytes() <= energies.size() * 8 + 64);
    }

    // The window in English where the environment asks for it, and exactly as before in
    // Russian; kestrun.ini's Lang over the environment.
    void windowTextsInBothLanguages() {
        const auto cyrillic = [](const QString& text) {
            return std::any_of(text.begin(), text.end(),
                               [](QChar c) { return c.unicode() >= 0x400 && c.unicode() < 0x500; });
        };
        // Every text the window shows, its menus' included.
        const auto shown = [this](Harness& h) {
            QStringList texts{h.window->windowTitle()};
            for (QWidget* w : h.window->findChildren<QWidget*>()) {
                if (auto* label = qobject_cast<QLabel*>(w)) {
                    texts << label->text();
                } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
                    texts << button->text();
                } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
                    texts << group->title();
                } else if (auto* list = qobject_cast<QComboBox*>(w)) {
                    for (int i = 0; i < list->count(); ++i) {
                        texts << list->itemText(i);
                    }
                }
            }
            for (QWidget* target : {static_cast<QWidget*>(h.window.get()),
                                    static_cast<QWidget*>(&h.window->timeline())}) {
                QTimer::singleShot(0, target, [&texts] {
                    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                    QVERIFY(menu);
                    for (QAction* action : menu->actions()) {
                        texts << action->text();
                    }
                    menu->close();
                });
                QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20),
                                        target->mapToGlobal(QPoint(20, 20)));
                QApplication::sendEvent(target, &event);
            }
            // A field check's message.
            messages_.clear();
            h.Edit("ebThreshold")->setText(QStringLiteral("x"));
            h.Button("generateEnergyBased")->click();
            h.Edit("ebThreshold")->setText(QStringLiteral("0.045"));
            for (const Message& m : messages_) {
                texts << m.text;
            }
            return texts;
        };
        const auto open = [this](const char* env, const char* ini) {
            WriteIni(ini);
            ApplyLanguage(WindowLang([env](const char* name) -> const char* {
                return std::string_view(name) == "LANG" ? env : nullptr;
            }));
            auto h = std::make_unique<Harness>();
            h->window->show();
            LoadTones(*h);
            return h;
        };

        {
            auto h = open("en_US.UTF-8", "");
            QTRY_COMPARE(h->Text("speechProgress"), QStringLiteral("Speech: ready"));
            const QStringList texts = shown(*h);
            for (const QString& text : texts) {
                QVERIFY2(!cyrillic(text), qPrintable(text));
            }
            for (const char* english : {
                     "Drop a WAV on the window",
                     "Options",
                     "Browse",
                     "Output to the source's folder",
                     "Make a mono file",
                     "Do not use Replay Gain",
                     "Replay Gain Radio [Dither without NS]",
                     "&About...",
                     "&Timeline",
                     "Save as Audacity labels",
                     "Enter a number.",
                 }) {
                QVERIFY2(texts.contains(QString::fromUtf8(english)), english);
            }
            QCOMPARE(h->LogLines().value(1), QStringLiteral("Loading finished."));
        }
        const QStringList russian{"Перетащите WAV в окно",
                                  "Параметры",
                                  "Обзор",
                                  "Выводить в каталог исходника",
                                  "Сделать моно файл",
                                  "Не использовать Replay Gain",
                                  "Replay Gain Radio [Dither без NS]",
                                  "&О программе...",
                                  "&Шкала времени",
                                  "Сохранить как метки Audacity",
                                  "Введите число."};
        // Russian by the environment, and by kestrun.ini over an English one.
        for (const auto& [env, ini] :
             {std::pair{"ru_RU.UTF-8", ""}, std::pair{"en_US.UTF-8", "[Options]\nLang=ru\n"}}) {
            auto h = open(env, ini);
            QTRY_COMPARE(h->Text("speechProgress"), QStringLiteral("Речь: готово"));
            const QStringList texts = shown(*h);
            for (const QString& text : russian) {
                QVERIFY2(texts.contains(text), qPrintable(text));
            }
            QCOMPARE(h->LogLines().value(1), QStringLiteral("Загрузка завершена."));
        }
        ApplyLanguage(Lang::Ru);
    }
    void aboutBoxFromTheContextMenuAndF1() {
        Harness h;
        h.window->show();
        h.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.window.get()));
        QString caption, product;
        const auto closeAbout = [&] {
            QTimer::singleShot(0, h.window.get(), [&] {
                QWidget* about = QApplication::activeModalWidget();
                QVERIFY(about && about->objectName() == QStringLiteral("about"));
                caption = about->windowTitle();
                product = about->findChild<QLabel*>(QStringLiteral("product"))->text();
                about->findChild<QPushButton*>(QStringLiteral("ok"))->click();
            });
        };
        closeAbout();
        QTest::keyClick(h.window.get(), Qt::Key_F1);
        QCOMPARE(caption, QStringLiteral("О программе"));
        QVERIFY(product.startsWith(QStringLiteral("Kestrun")));
        QVERIFY(h.window->isVisible());
    }

    void logResetRuleAndClear() {
        Harness h;
        CLogListBox& log = h.window->log();
        log.SetLineLimit(3);
        for (const char* line : {"a", "b", "c"}) {
            log.AppendLogLine(QString::fromUtf8(line), QStringLiteral("unused"));
        }
        QCOMPARE(log.currentRow(), 2);
        log.AppendLogLine(QStringLiteral("d"), QStringLiteral("/full/path/d"));
        QCOMPARE(h.LogLines(), QStringList{"/full/path/d"});
        QVERIFY(log.selectedItems().isEmpty());

        QMenu* menu = log.CreateMenu();
        QAction* clear = menu->findChild<QAction*>(QStringLiteral("clearLog"));
        QVERIFY(clear);
        QCOMPARE(clear->text(), QStringLiteral("Очистить"));
        clear->trigger();
        QCOMPARE(log.count(), 0);
        clear->trigger(); // on an empty log: nothing changes
        log.AppendLogLine(QStringLiteral("e"), QStringLiteral("e"));
        QCOMPARE(log.currentRow(), 0);
        delete menu;
    }

    void minimisingHidesOnlyWithATray() {
        for (const auto& [minTray, tray, hides] :
             {std::tuple{1, false, false}, std::tuple{1, true, true}, std::tuple{0, true, false}}) {
            WriteIni(minTray ? "[Options]\nMINTRAY=1\n" : "[Options]\nMINTRAY=0\n");
            Harness h;
            h.window->tray().SetHostAvailable(tray);
            h.window->show();
            QVERIFY(QTest::qWaitForWindowExposed(h.window.get()));
            h.window->showMinimized();
            QTest::qWait(50);
            QCOMPARE(h.window->isHidden(), hides);
            if (hides) {
                // The tray's click brings it back; so does "Выход", which then closes it.
                h.window->tray().OnActivated(QSystemTrayIcon::Trigger);
                QTRY_VERIFY(h.window->isVisible() && !h.window->isMinimized());
                h.window->showMinimized();
                QTRY_VERIFY(h.window->isHidden());
                h.Edit("ebThreshold")->setText(QStringLiteral("bad"));
                emit h.window->tray().exitRequested();
                QVERIFY(h.window->isVisible()); // restored, and kept open by the bad field
                QCOMPARE(messages_.back().text, QStringLiteral("Введите число."));
                h.Edit("ebThreshold")->setText(QStringLiteral("0.1"));
                emit h.window->tray().exitRequested();
                QVERIFY(h.window->isHidden());
            }
        }
    }

    // The exit path stops the running tool, never starts the queued job, and waits for
    // the worker: after a close, and after a stop request from outside (a signal), which
    // a half-typed field must not hold up.
    void exitStopsTheRunningTool() {
        for (const bool bySignal : {false, true}) {
            const std::string tools = StdPath(bySignal ? "tools-signal" : "tools");
            QDir().mkpath(QString::fromStdString(tools));
            test::WriteTool(tools, "flac.exe",
                            "echo $$ >> \"$here/pids\"\n: > \"$3\"\nexec sleep 30");
            testwav::WriteFile(StdPath("one.flac"), {1, 2, 3});
            testwav::WriteFile(StdPath("two.flac"), {1, 2, 3});

            CMainApp app;
            app.SetToolFolders({tools});
            QVERIFY(app.InitInstance());
            int pid = 0;
            std::thread signaller;
            app.SetOnWindowShown([&](CMainDlg& window) {
                window.HandleDrop({Path("one.flac")});
                window.HandleDrop({Path("two.flac")});
                auto* poll = new QTimer(&window);
                QObject::connect(poll, &QTimer::timeout, &window, [&, poll] {
                    const auto pids = test::ReadLines(tools + "/pids");
                    if (pids.empty()) {
                        return;
                    }
                    poll->stop();
                    pid = std::stoi(pids[0]);
                    if (bySignal) {
                        window.findChild<QLineEdit*>(QStringLiteral("egThreshold"))
                            ->setText(QStringLiteral("half-typed"));
                        signaller = std::thread([&app] { app.RequestStop(SIGTERM); });
                    } else {
                        window.close();
                    }
                });
                poll->start(20);
            });
            app.RunMainWindow();
            QCOMPARE(app.ExitInstance(), 0);
            if (signaller.joinable()) {
                signaller.join();
            }
            QCOMPARE(app.stopSignal(), bySignal ? SIGTERM : 0);
            QVERIFY(pid > 0);
            QVERIFY(test::ProcessEnds(pid));
            QCOMPARE(test::ReadLines(tools + "/pids").size(), std::size_t(1));
            QVERIFY(!QFile::exists(Path("one.wav"))); // the stopped tool's output is gone
            QVERIFY(QFile::exists(QStringLiteral("kestrun.ini")));
        }
    }

    // The exit waited three seconds for a tool that ignores SIGTERM before it was killed.
    void exitEndsSoonWhenTheToolIgnoresTerm() {
        const std::string tools = StdPath("tools-stubborn");
        QDir().mkpath(QString::fromStdString(tools));
        test::WriteTool(tools, "flac.exe",
                        "trap '' TERM\necho $$ >> \"$here/pids\"\n"
                        "while :; do sleep 0.05; done");
        testwav::WriteFile(StdPath("stubborn.flac"), {1, 2, 3});

        CMainApp app;
        app.SetToolFolders({tools});
        QVERIFY(app.InitInstance());
        int pid = 0;
        app.SetOnWindowShown([&](CMainDlg& window) {
            window.HandleDrop({Path("stubborn.flac")});
            auto* poll = new QTimer(&window);
            QObject::connect(poll, &QTimer::timeout, &window, [&, poll] {
                const auto pids = test::ReadLines(tools + "/pids");
                if (!pids.empty()) {
                    poll->stop();
                    pid = std::stoi(pids[0]);
                    window.close();
                }
            });
            poll->start(20);
        });
        app.RunMainWindow();
        const auto closed = std::chrono::steady_clock::now();
        QCOMPARE(app.ExitInstance(), 0);
        QVERIFY(std::chrono::steady_clock::now() - closed < std::chrono::seconds(3));
        QVERIFY(pid > 0);
        QVERIFY(test::ProcessEnds(pid));
        QVERIFY(!QFile::exists(Path("stubborn.wav")));
    }

    // A person's road: drop a spoken file on the real window, wait for the load and the
    // speech model, press Generate of the model, then of the energy detector. Without a
    // model beside the program the model's press shows why.
    // A thousand files dropped one after another on the real window, worker and all: each
    // reaches the log with one result, the badge follows the queue, memory stays flat.
    // The worker's reports reach the strip over the version line, which shows again when
    // the job is done; the figures read as a person would say them.
    // Clicks, Space, Left and Right ask for the right stretch of the loaded WAV; the
    // playhead follows the sound and stays where it stopped.
    void timelinePlaysCuesAndFollowsThePlayhead() {
        Harness h;
        h.window->show();
        LoadTones(h);
        TimelinePane& pane = h.window->timeline();
        auto sound = std::make_shared<FakeSound>();
        pane.SetSoundOutput(std::make_unique<FakeOutput>(sound));
        pane.SetCues({{500, 1000}, {1500, 1875}, {2375, 2750}}, QStringLiteral("test"));
        const std::string wav = StdPath("tones.wav");
        const int y = pane.height() / 2;
        const auto at = [&](double ms) { return QPoint(int(std::lround(pane.XOfMs(ms))), y); };

        QTest::mouseClick(&pane, Qt::LeftButton, {}, at(700));
        QCOMPARE(sound->calls.back(), (FakeSound::Call{wav, 8000, 16000}));
        QCOMPARE(pane.currentCue(), 0);
        QVERIFY(pane.playing());
        sound->position = 12000;
        QTRY_COMPARE(pane.playheadMs(), 750.0);
        QTest::keyClick(&pane, Qt::Key_Space); // stops where the sound is
        QVERIFY(!pane.playing());
        QCOMPARE(sound->stops, 1);
        QCOMPARE(pane.playheadMs(), 750.0);
        QTest::keyClick(&pane, Qt::Key_Space); // from the playhead to the end
        QCOMPARE(sound->calls.back(), (FakeSound::Call{wav, 12000, 48000}));
        QTest::keyClick(&pane, Qt::Key_Space);
        QTest::keyClick(&pane, Qt::Key_Right);
        QCOMPARE(sound->calls.back(), (FakeSound::Call{wav, 24000, 30000}));
        QTest::keyClick(&pane, Qt::Key_Right);
        QCOMPARE(sound->calls.back(), (FakeSound::Call{wav, 38000, 44000}));
        QTest::keyClick(&pane, Qt::Key_Left);
        QCOMPARE(sound->calls.back(), (FakeSound::Call{wav, 24000, 30000}));
        QCOMPARE(pane.currentCue(), 1);
        sound->position = 29000;
        QTRY_COMPARE(pane.playheadMs(), 1812.5);
        sound->position.reset(); // heard to its end
        QTRY_VERIFY(!pane.playing());
        QCOMPARE(pane.playheadMs(), 1812.5);

        // A click between cues only moves the playhead; Left then takes the cue before it.
        const std::size_t calls = sound->calls.size();
        QTest::mouseClick(&pane, Qt::LeftButton, {}, at(1200));
        QCOMPARE(sound->calls.size(), calls);
        QVERIFY(std::abs(pane.playheadMs() - 1200) < pane.viewSpanMs() / pane.width() + 1);
        QCOMPARE(pane.currentCue(), -1);
        QTest::keyClick(&pane, Qt::Key_Left);
        QCOMPARE(sound->calls.back(), (FakeSound::Call{wav, 8000, 16000}));
        QTest::keyClick(&pane, Qt::Key_Left); // nothing before the first
        QCOMPARE(sound->calls.size(), calls + 1);

        // The playhead, a line of its own colour, stands where it says.
        sound->position = 16000 * 2;
        QTRY_COMPARE(pane.playheadMs(), 2000.0);
        const QImage image = pane.grab().toImage();
        const int x = int(std::lround(pane.XOfMs(2000)));
        const QColor c = image.pixelColor(x, y);
        QVERIFY2(c.green() > c.red() + 60 && c.green() > c.blue() + 60, qPrintable(c.name()));
    }

    // Without a sound device the window says so once, and everything else goes on.
    void timelineWithoutSoundSaysSoOnce() {
        Harness h;
        h.window->show();
        LoadTones(h);
        TimelinePane& pane = h.window->timeline();
        auto sound = std::make_shared<FakeSound>();
        sound->failure = "нет устройства вывода звука";
        pane.SetSoundOutput(std::make_unique<FakeOutput>(sound));
        pane.SetCues({{500, 1000}, {1500, 1875}}, QStringLiteral("test"));
        const QPoint onCue(int(std::lround(pane.XOfMs(700))), pane.height() / 2);
        QTest::mouseClick(&pane, Qt::LeftButton, {}, onCue);
        QTest::mouseClick(&pane, Qt::LeftButton, {}, onCue);
        QCOMPARE(pane.currentCue(), 0); // still selected
        QTest::keyClick(&pane, Qt::Key_Space);
        const QString line =
            QStringLiteral("Прослушивание недоступно: нет устройства вывода звука");
        QCOMPARE(h.LogLines().count(line), 1);
        QVERIFY(!pane.playing());
        h.Edit("ebThreshold")->setText(QStringLiteral("0.5"));
        h.window->UpdatePreview();
        QVERIFY(pane.caption().startsWith(QStringLiteral("Energy Based")));
    }

    // The loaded WAV read from any frame: the same 16-bit frames as a whole reading.
    void wavClipReadsFromAnyFrame() {
        // 24-bit stereo: the top two bytes of each sample are what is heard.
        std::vector<uint8_t> wav = testwav::MakeWav(2, 8000, {});
        const int frames = 1000;
        for (int i = 0; i < frames * 2; ++i) {
            const auto v = uint16_t(i * 31);
            wav.insert(wav.end(), {uint8_t(i), uint8_t(v), uint8_t(v >> 8)});
        }
        testwav::Put16(wav, 32, 6);
        testwav::Put16(wav, 34, 24);
        testwav::Put32(wav, 28, 8000 * 6);
        testwav::Put32(wav, 40, uint32_t(frames * 6));
        testwav::FixRiffSize(wav);
        testwav::WriteFile(StdPath("clip.wav"), wav);
        WavClip clip;
        QVERIFY(clip.Open(StdPath("clip.wav")));
        QCOMPARE(clip.frames(), uint64_t(frames));
        QCOMPARE(clip.channels(), 2u);
        std::vector<int16_t> out(200);
        QCOMPARE(clip.Read(990, 100, out.data()), std::size_t(10)); // short at the end
        QCOMPARE(out[0], int16_t(uint16_t(990 * 2 * 31)));
        QCOMPARE(out[19], int16_t(uint16_t(999 * 2 * 31 + 31)));
        QCOMPARE(clip.Read(frames, 1, out.data()), std::size_t(0));
        QCOMPARE(clip.Read(3, 1, out.data()), std::size_t(1));
        QCOMPARE(out[1], int16_t(uint16_t(7 * 31)));
        std::string why;
        testwav::WriteFile(StdPath("bad.wav"), {'R', 'I', 'F', 'F'});
        QVERIFY(!clip.Open(StdPath("bad.wav"), &why));
        QVERIFY(!why.empty());
        QCOMPARE(clip.Read(0, 1, out.data()), std::size_t(0));
    }

    void jobProgressShownWhileAJobRuns() {
        QCOMPARE(JobProgressText({JobStep::Load, 1, 3}, 5'000),
                 QStringLiteral("Загрузка — 0:05, 33%"));
        QCOMPARE(JobProgressText({JobStep::Decode, 35u << 20, 0}, 3'723'000),
                 QStringLiteral("Декодирование — 1:02:03, 35 МБ"));
        QCOMPARE(JobProgressText({JobStep::Normalise, 0, 0}, 59'999),
                 QStringLiteral("Нормализация — 0:59"));

        WindowReceiver receiver;
        SharedEngine engine;
        GlobalSettings globals;
        MainDlgLinks links{engine, globals, [](std::unique_ptr<JobInfo>) {}, &receiver, {}, {}};
        CMainDlg window(links);
        window.show();
        JobProgressView& strip = window.jobProgress();
        QVERIFY(!strip.isVisible());
        std::thread worker([&] {
            receiver.SetProgress({JobStep::Decode, 3u << 20, 0});
            receiver.SetProgress({JobStep::Load, 500, 1000});
        });
        worker.join();
        QTRY_VERIFY(strip.isVisible());
        QTRY_COMPARE(strip.permille(), 500);
        QVERIFY(strip.text().startsWith(QStringLiteral("Загрузка — 0:0")));
        QCOMPARE(strip.geometry(), window.findChild<QLabel*>(QStringLiteral("status"))->geometry());
        receiver.SetProgress({JobStep::Decode, 3u << 20, 0});
        QTRY_COMPARE(strip.permille(), -1); // the decoder cannot say how far it has come
        window.OnJobDone({RESULT_OK + 1, "x", 0, {}, false, {}});
        QVERIFY(!strip.isVisible());
        window.EndRun();
    }

    void thousandDropsEachGetOneResult() {
        constexpr int FILES = 1000;
        std::vector<int16_t> tone(8000);
        for (std::size_t i = 0; i < tone.size(); ++i) {
            tone[i] = int16_t(12000 * std::sin(double(i) * 0.3) * (i % 4000 < 2000));
        }
        testwav::WriteFile(StdPath("tone.wav"), testwav::MakeWav(1, 16000, tone));
        QStringList names;
        for (int i = 0; i < FILES; ++i) {
            names << QStringLiteral("f%1.wav").arg(i, 4, 10, QLatin1Char('0'));
            std::filesystem::create_hard_link(StdPath("tone.wav"),
                                              Path(names.back()).toStdString());
        }

        CMainApp app;
        QVERIFY(app.InitInstance());
        int dropped = 0;
        int mostWaiting = 0;
        int badgeFaults = 0;
        long memoryAtTenth = 0;
        long memoryAtEnd = 0;
        QStringList lines;
        const QString done = QString::fromStdString(ResultMessage(RESULT_OK));
        QElapsedTimer clock;
        clock.start();
        app.SetOnWindowShown([&](CMainDlg& window) {
            auto* tick = new QTimer(&window);
            QObject::connect(tick, &QTimer::timeout, &window, [&, tick] {
                // A few drops a tick, so that jobs pile up while others end.
                for (int k = 0; k < 4 && dropped < FILES; ++k) {
                    DropFiles(&window, {Path(names[dropped++])});
                    const int waiting = window.jobQueue().pendingJobs();
                    mostWaiting = std::max(mostWaiting, waiting);
                    badgeFaults += window.tray().badgeNumber() != uint32_t(waiting);
                }
                const int results = int(window.log().findItems(done, Qt::MatchExactly).size());
                if (memoryAtTenth == 0 && results >= FILES / 10) {
                    memoryAtTenth = ResidentKb();
                }
                // A lost result would leave a job waiting for ever: give up after two minutes.
                if ((dropped == FILES && window.jobQueue().pendingJobs() == 0) ||
                    clock.elapsed() > 120'000) {
                    tick->stop();
                    memoryAtEnd = ResidentKb();
                    for (int i = 0; i < window.log().count(); ++i) {
                        lines << window.log().item(i)->text();
                    }
                    window.close();
                }
            });
            tick->start(1);
        });
        app.RunMainWindow();
        app.ExitInstance();

        QCOMPARE(dropped, FILES);
        QCOMPARE(badgeFaults, 0);
        QVERIFY2(mostWaiting > 1, "the drops never got ahead of the worker");
        // Each name once, each result once: a name's line at its drop, a result at its end.
        QCOMPARE(lines.size(), 2 * FILES);
        QCOMPARE(int(lines.count(done)), FILES);
        for (const QString& name : names) {
            QCOMPARE(int(lines.count(name)), 1);
        }
        qInfo("resident memory: %ld KB after %d results, %ld KB after %d; %d jobs waiting at most",
              memoryAtTenth, FILES / 10, memoryAtEnd, FILES, mostWaiting);
#if !defined(__SANITIZE_ADDRESS__) &&                                                              \
    !defined(__SANITIZE_THREAD__) // sanitizers keep memory of their own
        // The log's lines are all that should grow: far below a megabyte here.
        QVERIFY2(memoryAtEnd < memoryAtTenth + 8 * 1024, "memory grew with the jobs");
#endif
    }

    void speechFileFromDropToSrt() {
        const QString speech = Path("speech.wav");
        const QString script = QStringLiteral(KESTRUN_SOURCE_DIR "/scripts/make-speech.sh");
        QCOMPARE(QProcess::execute(QStringLiteral("sh"), {script, speech}), 0);
        const std::string model = FindSpeechModel({});
        const bool haveModel = QFile::exists(QString::fromStdString(model));

        CMainApp app;
        QVERIFY(app.InitInstance());
        int speechCues = -1;
        app.SetOnWindowShown([&](CMainDlg& window) {
            DropFiles(&window, {speech});
            auto* generate = window.findChild<QPushButton*>(QStringLiteral("generateEnergyBased"));
            auto* progress = window.findChild<QLabel*>(QStringLiteral("speechProgress"));
            auto* poll = new QTimer(&window);
            QObject::connect(poll, &QTimer::timeout, &window, [&, generate, progress, poll] {
                const QString state = progress->text();
                if (state == QStringLiteral("Речь: готово") ||
                    state == QStringLiteral("Речь: ошибка")) {
                    poll->stop();
                    QTRY_COMPARE(window.windowTitle(), QString::fromUtf8(IDLE_TITLE));
                    QTest::mouseClick(
                        window.findChild<QPushButton*>(QStringLiteral("generateSpeech")),
                        Qt::LeftButton);
                    speechCues = CueCount(StdPath("speech.srt"));
                    QTest::mouseClick(generate, Qt::LeftButton);
                    window.close();
                }
            });
            poll->start(20);
        });
        app.RunMainWindow();
        app.ExitInstance();

        QCOMPARE(messages_.size(), std::size_t(2));
        if (haveModel) {
            QCOMPARE(messages_[0].title, QStringLiteral("Done."));
            QVERIFY(speechCues >= 3);
            QCOMPARE(messages_[0].text.toInt(), speechCues);
        } else {
            QCOMPARE(messages_[0].kind, MessageKind::Error);
            QCOMPARE(messages_[0].text,
                     QStringLiteral("Ошибка модели речи: speech model not found: ") +
                         QString::fromStdString(model));
        }
        QCOMPARE(messages_[1].title, QStringLiteral("Done."));
        // Three phrases a second apart: at least three cues, each carrying its number.
        const int cues = CueCount(StdPath("speech.srt"));
        QVERIFY(cues >= 3);
        QCOMPARE(messages_[1].text.toInt(), cues);
        const QStringList srt = FileLines(Path("speech.srt"));
        QCOMPARE(srt.value(0), QStringLiteral("1"));
        QCOMPARE(srt.value(2), QStringLiteral("1"));
        // The settings' defaults reached the job: the dropped WAV itself was made mono.
        QCOMPARE(testwav::ReadFile(speech.toStdString()).at(22), '\x01');
    }
};

QTEST_MAIN(ShellTest)
#include "shell_test.moc"
