// kestrun-screenshot: shows the window as a person would see it after dropping a file on
// it and waiting for the load, and saves a picture of it. Run under a display (Xvfb) by
// scripts/screenshot.sh for the README; not installed.
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdio>

#include "Language.h"
#include "MainApp.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: kestrun-screenshot AUDIO_FILE OUTPUT.png\n");
        return 2;
    }
    const QString audio = args[1];
    const QString picture = args[2];
    // In the language the environment asks for, as the window itself would be.
    kestrun::ApplyLanguage(kestrun::WindowLang());

    int status = 1;
    kestrun::CMainApp app;
    app.SetOnWindowShown([&](kestrun::CMainDlg& window) {
        window.HandleDrop({audio});
        auto* timer = new QTimer(&window);
        auto* clock = new QElapsedTimer;
        clock->start();
        QObject::connect(timer, &QTimer::timeout, &window, [&, timer, clock] {
            const bool loaded =
                !window.findChild<QLabel*>(QStringLiteral("duration"))->text().isEmpty();
            if (!loaded && clock->elapsed() < 30000) {
                return;
            }
            timer->stop();
            delete clock;
            // A moment for the last repaint, then the window with its frame if there is one.
            QTimer::singleShot(300, &window, [&, loaded] {
                const QRect frame = window.frameGeometry();
                const QPixmap shot = window.screen()->grabWindow(0, frame.x(), frame.y(),
                                                                 frame.width(), frame.height());
                status = shot.save(picture) && loaded ? 0 : 1;
                window.close();
            });
        });
        timer->start(50);
    });
    const int exitCode = app.Run();
    return status != 0 ? status : exitCode;
}
