// kestrun: the desktop window. Drop an audio or video file on it, press Generate, and an
// SRT timing file of its speech appears beside it.
#include <QApplication>

#include "MainApp.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestrun"));
    QApplication::setApplicationVersion(QStringLiteral(KESTRUN_VERSION));
    // The window's close path decides when the program ends, never the last window.
    QApplication::setQuitOnLastWindowClosed(false);

    kestrun::CMainApp app;
    return app.Run();
}
