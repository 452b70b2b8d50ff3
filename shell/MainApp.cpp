// Start and exit of the window program.
#include "MainApp.h"

#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <utility>

#include "Guardian.h"
#include "WindowReceiver.h"
#include "WrkThread.h"

namespace kestrun {
namespace {

// How long the exit waits for the worker once its tool is stopped: a worker still running
// then is stuck in a call that blocks (an open of a FIFO), and the program ends without it.
constexpr auto WORKER_EXIT_WAIT = std::chrono::milliseconds(400);

} // namespace

CMainApp::CMainApp() : receiver_(std::make_unique<WindowReceiver>()) {}

CMainApp::~CMainApp() = default;

bool CMainApp::InitInstance() {
    ToolSettings settings;
    settings.toolFolders = toolFolders_;
    workerThread_ = std::make_unique<CWrkThread>(engine_, childProcess_, exitMutex_, *receiver_,
                                                 std::move(settings));
    if (!workerThread_->Start()) {
        workerThread_.reset();
        return false;
    }
    return true;
}

void CMainApp::RunMainWindow() {
    MainDlgLinks links{engine_,
                       globals_,
                       [this](std::unique_ptr<JobInfo> job) {
                           workerThread_->PostCommand(JOB_CMD_RUN, std::move(job));
                       },
                       receiver_.get(),
                       toolFolders_,
                       {}};
    CMainDlg window(links);

    // The settings file is read by now, and no job can have been handed out yet.
    ToolSettings settings;
    settings.hideChildren = globals_.hideChildren != 0;
    settings.azidGain = globals_.azidGain;
    settings.toolFolders = toolFolders_;
    workerThread_->SetToolSettings(std::move(settings));

    // The window's own loop rather than a modal one: hiding the window in the tray must
    // not end its run.
    QEventLoop loop;
    QObject::connect(&window, &QDialog::finished, &loop, &QEventLoop::quit);
    window.show();
    if (onWindowShown_) {
        QTimer::singleShot(0, &window, [this, &window] { onWindowShown_(window); });
    }
    {
        std::lock_guard lock(stopMutex_);
        window_ = &window;
        if (stopSignal_ != 0) {
            QTimer::singleShot(0, &window, &CMainDlg::EndRun);
        }
    }
    if (!filesBeforeWindow_.isEmpty()) {
        QTimer::singleShot(0, &window, [&window, files = std::exchange(filesBeforeWindow_, {})] {
            window.OpenFiles(files);
        });
    }
    loop.exec();
    std::lock_guard lock(stopMutex_);
    window_ = nullptr;
    windowDone_ = true;
    // The window goes with the return, and with it the speech model's run: cancelled and
    // waited for before ExitInstance waits for the worker.
}

void CMainApp::RequestStop(int signal) {
    std::lock_guard lock(stopMutex_);
    if (stopSignal_ == 0) {
        stopSignal_ = signal;
    }
    if (window_) {
        // Posted to the window's thread; the window cannot go away while the lock is held.
        QMetaObject::invokeMethod(window_, &CMainDlg::EndRun, Qt::QueuedConnection);
    }
}

int CMainApp::stopSignal() const {
    std::lock_guard lock(stopMutex_);
    return stopSignal_;
}

bool CMainApp::OpenFiles(const QStringList& paths) {
    CMainDlg* window = nullptr;
    {
        std::lock_guard lock(stopMutex_);
        if (windowDone_) {
            return false;
        }
        window = window_;
    }
    if (!window) {
        filesBeforeWindow_ += paths;
        return true;
    }
    window->BringToFront();
    // Later, from the window's own loop: a message about its fields must not open inside the
    // caller (a socket's read).
    QTimer::singleShot(0, window, [window, paths] { window->OpenFiles(paths); });
    return true;
}

int CMainApp::ExitInstance() {
    if (!workerThread_) {
        return 0;
    }
    exitMutex_.Raise();
    workerThread_->PostCommand(JOB_CMD_QUIT);
    childProcess_.Terminate(STOP_GRACE_MS);
    if (!workerThread_->JoinUntil(std::chrono::steady_clock::now() + WORKER_EXIT_WAIT)) {
        const int signal = stopSignal();
        ExitNow(signal != 0 ? 128 + signal : 0, STOP_GRACE_MS);
    }
    workerThread_.reset();
    return 0;
}

int CMainApp::Run() {
    if (InitInstance()) {
        RunMainWindow();
    }
    return ExitInstance();
}

} // namespace kestrun
