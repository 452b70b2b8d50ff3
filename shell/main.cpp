// kestrun: the desktop window. Drop an audio or video file on it, press Generate, and an
// SRT timing file of its speech appears beside it.
#include <QApplication>

#include "MainApp.h"
#include "StopRequest.h"

int main(int argc, char** argv) {
    // Never destroyed: the thread that watches for signals may reach it until the process
    // ends. Made before any thread starts, as the watcher must be.
    static kestrun::CMainApp* const app = new kestrun::CMainApp;
    // Ctrl-C or a terminate signal take the exit path, so a running decoder is stopped
    // rather than left behind in its own process group.
    kestrun::WatchStopRequests([](int signal) { app->RequestStop(signal); });

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestrun"));
    QApplication::setApplicationVersion(QStringLiteral(KESTRUN_VERSION));
    // The window's close path decides when the program ends, never the last window.
    QApplication::setQuitOnLastWindowClosed(false);

    const int exitCode = app->Run();
    // Stopped by a signal: the shell's convention, 128 + its number.
    return app->stopSignal() != 0 ? 128 + app->stopSignal() : exitCode;
}
