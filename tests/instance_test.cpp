// One window per user: the command line's files and Qt's options, a start handing its files
// to a listening window (stale names, starts at the same moment, a window on its way out,
// peers that send garbage or nothing), and two real `kestrun` processes.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <memory>
#include <vector>

#include "CommandLine.h"
#include "SingleInstance.h"
#include "TestWav.h"

using namespace kestrun;

namespace {

constexpr int WAIT_MS = 30000; // a bound for what should take a moment, never a measure

// A start on a thread of its own, as a second process would be; the test's thread serves
// the listening side meanwhile.
class Start {
public:
    Start(const QString& name, QStringList paths)
        : thread_(QThread::create([this, name, paths = std::move(paths)] {
              SingleInstance start(name);
              handedOver_ = start.HandOver(paths);
              done_ = true;
          })) {
        thread_->start();
    }
    ~Start() { thread_->wait(); }
    bool done() const { return done_; }
    bool handedOver() const { return handedOver_; }

private:
    std::atomic<bool> done_{false};
    std::atomic<bool> handedOver_{false};
    std::unique_ptr<QThread> thread_;
};

// A socket file nobody listens on any more, as a killed window leaves it.
void LeaveDeadSocket(const QString& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = QFile::encodeName(path);
    std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    QVERIFY(QFile::exists(path));
}

QByteArray Sized(const QByteArray& body) {
    char size[4];
    qToBigEndian(quint32(body.size()), size);
    return QByteArray(size, 4) + body;
}

// A canonical 16-bit stereo WAV: the window's default options make it mono in place, which
// shows from outside that its job ran.
void WriteStereoWav(const QString& path) {
    std::vector<int16_t> samples(8000);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = int16_t(8000 * std::sin(double(i) * 0.2));
    }
    testwav::WriteFile(path.toStdString(), testwav::MakeWav(2, 16000, samples));
}

bool IsMono(const QString& path) {
    const std::string bytes = testwav::ReadFile(path.toStdString());
    return bytes.size() > 22 && bytes[22] == 1;
}

} // namespace

class InstanceTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> folder_;
    QString name_;
    QStringList received_;
    int receptions_ = 0;

    std::function<bool(const QStringList&)> Recorder() {
        return [this](const QStringList& paths) {
            received_ += paths;
            ++receptions_;
            return true;
        };
    }

private slots:
    void init() {
        folder_ = std::make_unique<QTemporaryDir>();
        name_ = folder_->filePath(QStringLiteral("kestrun-test"));
        received_.clear();
        receptions_ = 0;
    }

    void commandLineFilesAndQtOptions() {
        const QString here = QStringLiteral("/home/u/clips");
        const CommandLine line =
            ParseCommandLine({"kestrun", "-platform", "offscreen", "b.wav", "-style=fusion",
                              "--reverse", "../a b.mp3", "", "-qwindowtitle", "T", "/abs/c\nё.wav",
                              "sub/./d.wav", "--", "-e.wav"},
                             here);
        QVERIFY(!line.exitCode);
        QCOMPARE(line.files, (QStringList{"/home/u/clips/b.wav", "/home/u/a b.mp3", "/abs/c\nё.wav",
                                          "/home/u/clips/sub/d.wav", "/home/u/clips/-e.wav"}));
        QVERIFY(ParseCommandLine({"kestrun"}, here).files.isEmpty());

        const CommandLine help = ParseCommandLine({"kestrun", "--help", "a.wav"}, here);
        QCOMPARE(help.exitCode, std::optional<int>(0));
        QVERIFY(!help.outputIsError);
        QVERIFY2(help.output.section('\n', 0, 0).endsWith(QStringLiteral(" [файлы...]")),
                 qPrintable(help.output));
        QVERIFY(help.output.contains(QStringLiteral("--version")));
        QVERIFY(!help.output.contains(QStringLiteral("platform"))); // Qt's options stay Qt's
        const CommandLine version = ParseCommandLine({"kestrun", "-v"}, here);
        QCOMPARE(version.exitCode, std::optional<int>(0));
        QCOMPARE(version.output, QStringLiteral("Kestrun " KESTRUN_VERSION "\n"));
        const CommandLine bad = ParseCommandLine({"kestrun", "a.wav", "--frobnicate"}, here);
        QCOMPARE(bad.exitCode, std::optional<int>(1));
        QVERIFY(bad.outputIsError);
        QVERIFY(bad.output.contains(QStringLiteral("frobnicate")));
        QVERIFY(bad.files.isEmpty());
    }

    // A second start with files, one with none, and one whose relative path is taken from
    // its own folder, not the window's.
    void handOverReachesTheListeningWindow() {
        SingleInstance window(name_);
        QVERIFY(!window.HandOver({})); // nobody listens yet: this one becomes the window
        QVERIFY(window.Listen(Recorder()));

        const QStringList odd{"/a b/ё\n.wav", "/c.mp3"};
        {
            Start second(name_, odd);
            QTRY_VERIFY_WITH_TIMEOUT(second.done(), WAIT_MS);
            QVERIFY(second.handedOver());
        }
        QCOMPARE(received_, odd);
        {
            Start bare(name_, {});
            QTRY_VERIFY_WITH_TIMEOUT(bare.done(), WAIT_MS);
            QVERIFY(bare.handedOver());
        }
        QCOMPARE(receptions_, 2);
        const QString elsewhere = folder_->filePath(QStringLiteral("elsewhere"));
        {
            Start relative(name_, ParseCommandLine({"kestrun", "clip.wav"}, elsewhere).files);
            QTRY_VERIFY_WITH_TIMEOUT(relative.done(), WAIT_MS);
        }
        QCOMPARE(received_.last(), elsewhere + QStringLiteral("/clip.wav"));
    }

    // A killed window's socket is still there: the next start finds nobody behind it, takes
    // the name over and is reached there.
    void staleSocketIsTakenOver() {
        LeaveDeadSocket(name_);
        SingleInstance window(name_);
        QVERIFY(!window.HandOver({"/a.wav"}));
        QVERIFY(window.Listen(Recorder()));
        Start second(name_, {"/b.wav"});
        QTRY_VERIFY_WITH_TIMEOUT(second.done(), WAIT_MS);
        QVERIFY(second.handedOver());
        QCOMPARE(received_, QStringList{"/b.wav"});
    }

    // Two starts at the same moment: the first to find no window claims the name, and the
    // other waits for it to listen rather than making a window of its own.
    void startsAtTheSameMomentMakeOneWindow() {
        SingleInstance first(name_);
        QVERIFY(!first.HandOver({}));
        Start second(name_, {"/b.wav"});
        // Gives the second the time to find nobody listening and reach the claim; it is
        // handed over either way.
        QThread::msleep(200);
        QVERIFY(!second.done());
        QVERIFY(first.Listen(Recorder()));
        QTRY_VERIFY_WITH_TIMEOUT(second.done(), WAIT_MS);
        QVERIFY(second.handedOver());
        QCOMPARE(received_, QStringList{"/b.wav"});
    }

    // A window whose run is over refuses, then goes with its name: the start that was
    // refused becomes the window instead of losing its files.
    void refusedByAClosingWindowStartsItsOwn() {
        SingleInstance window(name_);
        QVERIFY(window.Listen([&](const QStringList&) {
            QTimer::singleShot(100, &window, [&] { window.Close(); });
            return false;
        }));
        auto later = std::make_unique<SingleInstance>(name_);
        std::atomic<bool> done{false};
        bool handedOver = true;
        std::unique_ptr<QThread> thread(QThread::create([&] {
            handedOver = later->HandOver({"/b.wav"});
            done = true;
        }));
        thread->start();
        QTRY_VERIFY_WITH_TIMEOUT(done, WAIT_MS);
        thread->wait();
        QVERIFY(!handedOver);
        QVERIFY(!QFile::exists(name_));
        QVERIFY(later->Listen(Recorder()));
        Start third(name_, {"/c.wav"});
        QTRY_VERIFY_WITH_TIMEOUT(third.done(), WAIT_MS);
        QCOMPARE(received_, QStringList{"/c.wav"});
    }

    // Peers that are no start: each is hung up on, none reaches the window, and a real start
    // among them is served all the same, a silent one included.
    void garbageAndSilentPeersAreDropped() {
        SingleInstance window(name_);
        window.SetPeerTimeout(std::chrono::milliseconds(300));
        QVERIFY(window.Listen(Recorder()));

        std::vector<std::unique_ptr<QLocalSocket>> peers;
        const auto peer = [&](const QByteArray& bytes) {
            peers.push_back(std::make_unique<QLocalSocket>());
            peers.back()->connectToServer(name_);
            QVERIFY(peers.back()->waitForConnected(WAIT_MS));
            peers.back()->write(bytes);
            peers.back()->flush();
        };
        peer({});                                           // silent
        peer(QByteArray("\x7f\xff\xff\xff", 4));            // a size past any bound
        peer(Sized("GET / HTTP/1.0\r\n\r\n"));              // not a message
        peer(Sized(QByteArray("KST1\xff\xff\xff\xf0", 8))); // a count that would size a list
        peer(Sized(QByteArray("KST1\0\0\0\1\x7f\xff\xff\xffx", 13))); // a path past the end
        peer(EncodeHandOver({"/half.wav"}).chopped(3));               // never finished
        {
            Start real(name_, {"/real.wav"});
            QTRY_VERIFY_WITH_TIMEOUT(real.done(), WAIT_MS);
            QVERIFY(real.handedOver());
        }
        for (const auto& p : peers) {
            QTRY_COMPARE_WITH_TIMEOUT(p->state(), QLocalSocket::UnconnectedState, WAIT_MS);
            QCOMPARE(p->bytesAvailable(), 0); // never answered
        }
        QCOMPARE(received_, QStringList{"/real.wav"});
        QCOMPARE(receptions_, 1);
    }

    // The real program, twice: the second start hands its file (named from another folder,
    // with a space, a newline and Cyrillic in it) to the first and ends at once with 0; the
    // first makes it mono. Killed outright, the first leaves its socket behind; the next start
    // takes the name over and opens its file itself.
    void secondProgramHandsOverToTheFirst() {
        const QString runtime = folder_->filePath(QStringLiteral("run"));
        QVERIFY(QDir().mkpath(runtime));
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(QDir().mkpath(folder_->filePath(QStringLiteral("sub"))));
        const QString handed = QStringLiteral("a b\nё.wav");
        WriteStereoWav(folder_->filePath(QStringLiteral("sub/") + handed));
        WriteStereoWav(folder_->filePath(QStringLiteral("next.wav")));
        const QString socket = runtime + QStringLiteral("/kestrun-%1").arg(::getuid());

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        const auto program = [&](const QString& folder, const QStringList& arguments) {
            auto process = std::make_unique<QProcess>();
            process->setProcessEnvironment(environment);
            process->setWorkingDirectory(folder);
            process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            process->start(QStringLiteral(KESTRUN_PROGRAM), arguments);
            return process;
        };

        std::unique_ptr<QProcess> first = program(folder_->path(), {});
        QVERIFY(first->waitForStarted(WAIT_MS));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(socket), WAIT_MS);
        for (const QStringList& arguments : {QStringList{handed}, QStringList{}}) {
            std::unique_ptr<QProcess> second =
                program(folder_->filePath(QStringLiteral("sub")), arguments);
            QVERIFY(second->waitForFinished(WAIT_MS));
            QCOMPARE(second->exitStatus(), QProcess::NormalExit);
            QCOMPARE(second->exitCode(), 0);
        }
        QTRY_VERIFY_WITH_TIMEOUT(IsMono(folder_->filePath(QStringLiteral("sub/") + handed)),
                                 WAIT_MS);
        QCOMPARE(first->state(), QProcess::Running);

        first->kill();
        QVERIFY(first->waitForFinished(WAIT_MS));
        QVERIFY(QFile::exists(socket));
        std::unique_ptr<QProcess> next = program(folder_->path(), {"next.wav"});
        QTRY_VERIFY_WITH_TIMEOUT(IsMono(folder_->filePath(QStringLiteral("next.wav"))), WAIT_MS);
        QCOMPARE(next->state(), QProcess::Running);
        next->terminate();
        QVERIFY(next->waitForFinished(WAIT_MS));
        QCOMPARE(next->exitCode(), 128 + SIGTERM);
    }
};

QTEST_MAIN(InstanceTest)
#include "instance_test.moc"
