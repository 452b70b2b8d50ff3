// kestrun: the desktop window. Drop an audio or video file on it, press Generate, and an
// SRT timing file of its speech appears beside it.
#include <QApplication>
#include <QDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "CommandLine.h"
#include "Guardian.h"
#include "Language.h"
#include "MainApp.h"
#include "Process.h"
#include "SingleInstance.h"
#include "StopRequest.h"

namespace {

// From a stop request to the latest end of the program, whatever its threads are doing:
// with the tools' grace after it, still within a second.
constexpr auto STOP_DEADLINE = std::chrono::milliseconds(650);

} // namespace

int main(int argc, char** argv) {
    // First of all: the command line's help and messages are given in it too.
    const kestrun::Lang lang = kestrun::WindowLang();
    kestrun::SetLang(lang);
    // Before anything starts: a window already running takes this start's files, and this
    // process ends here.
    const kestrun::CommandLine commandLine =
        kestrun::ParseCommandLine(kestrun::ArgumentList(argc, argv), QDir::currentPath());
    if (commandLine.exitCode) {
        std::fputs(qUtf8Printable(commandLine.output), commandLine.outputIsError ? stderr : stdout);
        return *commandLine.exitCode;
    }
    kestrun::SingleInstance instance(kestrun::SingleInstance::DefaultName());
    if (instance.HandOver(commandLine.files)) {
        return 0;
    }

    // Never destroyed: the thread that watches for signals may reach it until the process
    // ends. Made before any thread starts, as the watcher must be.
    static kestrun::CMainApp* const app = new kestrun::CMainApp;
    // Before any thread: from here on no tool and no working file outlives the program,
    // even one killed with SIGKILL.
    kestrun::StartGuardian();
    // Ctrl-C or a terminate signal take the exit path, so a running decoder is stopped
    // rather than left behind in its own process group. Should the window's thread be stuck
    // in a call that blocks, the program ends at the deadline all the same.
    kestrun::WatchStopRequests([](int signal) {
        static std::atomic<bool> stopping{false};
        app->RequestStop(signal);
        if (stopping.exchange(true)) {
            return;
        }
        std::this_thread::sleep_for(STOP_DEADLINE);
        kestrun::ExitNow(128 + signal, kestrun::STOP_GRACE_MS);
    });

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestrun"));
    QApplication::setApplicationVersion(QStringLiteral(KESTRUN_VERSION));
    // The window's close path decides when the program ends, never the last window.
    QApplication::setQuitOnLastWindowClosed(false);
    // Before the window is built, whose texts are taken in the language chosen.
    kestrun::ApplyLanguage(lang);

    instance.Listen([](const QStringList& paths) { return app->OpenFiles(paths); });
    app->OpenFiles(commandLine.files);
    const int exitCode = app->Run();
    instance.Close();
    // Stopped by a signal: the shell's convention, 128 + its number.
    return app->stopSignal() != 0 ? 128 + app->stopSignal() : exitCode;
}
