// CMainApp: the program's start and end. Start: the worker thread, then the main window
// until it closes. End: the window's speech model run stopped with the window, the exit
// signal raised, the worker told to quit, a running tool stopped, the worker waited for a
// moment (a worker stuck in a blocking call ends the program without it, ExitNow); jobs
// still queued are never started.
#pragma once

#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "MainDlg.h"
#include "Process.h"
#include "SharedEngine.h"

namespace kestrun {

class CWrkThread;
class WindowReceiver;

class CMainApp {
public:
    CMainApp();
    ~CMainApp();
    CMainApp(const CMainApp&) = delete;
    CMainApp& operator=(const CMainApp&) = delete;

    // Starts the worker. False when it could not be started: the program then ends
    // without a window.
    bool InitInstance();
    // Shows the main window and returns once it has closed and been destroyed.
    void RunMainWindow();
    // The exit order; returns the process exit code.
    int ExitInstance();

    // All three in order.
    int Run();

    // A request to stop from outside the program (a terminate signal, Ctrl-C in the
    // terminal it was started from), from any thread: the window's run ends at once,
    // whatever its fields hold, and the exit order follows. Before the window is up, the
    // window ends as soon as it is.
    void RequestStop(int signal);
    // The signal of the first stop request, 0 when none came.
    int stopSignal() const;

    // Files to open, each its own job in the order given, from the command line or handed
    // over by a later start: kept until the window is up, queued at once while it runs, and
    // the window comes to the front (an empty list only brings it forward). On the window's
    // thread. False once the window's run is over: nothing will open them any more.
    bool OpenFiles(const QStringList& paths);

    // Where the worker looks for its tools; empty for the default lookup. Set before
    // InitInstance.
    void SetToolFolders(std::vector<std::string> folders) { toolFolders_ = std::move(folders); }
    // Called once the window is up (tests drive the window from here).
    void SetOnWindowShown(std::function<void(CMainDlg&)> onShown) {
        onWindowShown_ = std::move(onShown);
    }

    SharedEngine& engine() { return engine_; }
    ChildProcess& childProcess() { return childProcess_; }

private:
    SharedEngine engine_;
    ChildProcess childProcess_;
    ExitSignal exitMutex_;
    GlobalSettings globals_;
    std::unique_ptr<WindowReceiver> receiver_;
    std::unique_ptr<CWrkThread> workerThread_;
    std::vector<std::string> toolFolders_;
    std::function<void(CMainDlg&)> onWindowShown_;

    mutable std::mutex stopMutex_;
    CMainDlg* window_ = nullptr; // while the window runs; under stopMutex_
    int stopSignal_ = 0;         // under stopMutex_
    QStringList filesBeforeWindow_;
    bool windowDone_ = false; // under stopMutex_
};

} // namespace kestrun
