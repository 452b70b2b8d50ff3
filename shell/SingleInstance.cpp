// One window per user: the hand-over's message, the sending start and the listening window.
#include "SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>
#include <QtEndian>

#include <cstring>
#include <thread>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

#include "Text.h"

namespace kestrun {
namespace {

constexpr char TAG[4] = {'K', 'S', 'T', '1'};
constexpr char ANSWER = 'K';
// Far more paths than anyone passes at once, and still a bound on what a peer makes the
// window hold.
constexpr quint32 MAX_MESSAGE = 16u << 20;
// Peers in progress at once; more are turned away unread, so idle ones cannot pile up.
constexpr qsizetype MAX_PEERS = 8;
constexpr int CONNECT_WAIT_MS = 1000;
// A window busy in a long Generate answers late, but it answers.
constexpr int ANSWER_WAIT_MS = 10000;
// A start holds the claim only while its application object is made.
constexpr int CLAIM_WAIT_MS = 10000;
// A window whose run is over refuses; its name goes when its exit order has run.
constexpr int CLOSING_WAIT_MS = 3000;
constexpr auto CLOSING_POLL = std::chrono::milliseconds(50);

void AppendU32(QByteArray& out, quint32 value) {
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

} // namespace

QByteArray EncodeHandOver(const QStringList& paths) {
    QByteArray body(TAG, sizeof TAG);
    AppendU32(body, quint32(paths.size()));
    for (const QString& path : paths) {
        const QByteArray utf8 = path.toUtf8();
        AppendU32(body, quint32(utf8.size()));
        body += utf8;
    }
    QByteArray message;
    AppendU32(message, quint32(body.size()));
    return message + body;
}

std::optional<QStringList> DecodeHandOver(const QByteArray& body) {
    qsizetype at = 0;
    const auto take = [&](quint32& value) {
        if (body.size() - at < 4) {
            return false;
        }
        value = qFromBigEndian<quint32>(body.constData() + at);
        at += 4;
        return true;
    };
    if (body.size() < qsizetype(sizeof TAG) || std::memcmp(body.constData(), TAG, sizeof TAG)) {
        return std::nullopt;
    }
    at = sizeof TAG;
    quint32 count = 0;
    // Every path takes at least the four bytes of its length: a larger count is a lie, and
    // must not size anything.
    if (!take(count) || count > quint64(body.size() - at) / 4) {
        return std::nullopt;
    }
    QStringList paths;
    paths.reserve(count);
    for (quint32 i = 0; i < count; ++i) {
        quint32 length = 0;
        if (!take(length) || length > quint64(body.size() - at)) {
            return std::nullopt;
        }
        paths << QString::fromUtf8(body.constData() + at, length);
        at += length;
    }
    if (at != body.size()) {
        return std::nullopt;
    }
    return paths;
}

QString SingleInstance::DefaultName() {
#ifdef Q_OS_WIN
    // A pipe's name, not a path; pipes are per session, the user's name keeps users apart.
    return QStringLiteral("kestrun-") + qEnvironmentVariable("USERNAME");
#else
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty()) {
        folder = QDir::tempPath();
    }
    return QDir(folder).filePath(QStringLiteral("kestrun-%1").arg(::getuid()));
#endif
}

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name)) {}

SingleInstance::~SingleInstance() {
    Close();
}

SingleInstance::Outcome SingleInstance::Send(const QByteArray& message) const {
#ifdef Q_OS_UNIX
    // In a shared temporary folder another user may have put a socket under this name: the
    // paths are never told to it.
    const QFileInfo socketFile(name_);
    if (socketFile.exists() && socketFile.ownerId() != ::geteuid()) {
        return Outcome::Foreign;
    }
#endif
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (!socket.waitForConnected(CONNECT_WAIT_MS)) {
        const QLocalSocket::LocalSocketError error = socket.error();
        return error == QLocalSocket::ServerNotFoundError ||
                       error == QLocalSocket::ConnectionRefusedError
                   ? Outcome::NoWindow
                   : Outcome::Refused;
    }
    const QDeadlineTimer deadline(ANSWER_WAIT_MS);
    socket.write(message);
    while (socket.bytesToWrite() > 0) {
        if (deadline.hasExpired() || !socket.waitForBytesWritten(int(deadline.remainingTime()))) {
            return socket.state() == QLocalSocket::ConnectedState ? Outcome::NoAnswer
                                                                  : Outcome::Refused;
        }
    }
    while (socket.bytesAvailable() < 1) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime()))) {
            return socket.state() == QLocalSocket::ConnectedState ? Outcome::NoAnswer
                                                                  : Outcome::Refused;
        }
    }
    char answer = 0;
    return socket.getChar(&answer) && answer == ANSWER ? Outcome::Taken : Outcome::Refused;
}

bool SingleInstance::HandOver(const QStringList& paths) {
    const QByteArray message = EncodeHandOver(paths);
    const auto over = [this](Outcome outcome) {
        if (outcome == Outcome::NoAnswer) {
            // The message waits in the window's socket; a second window would open the
            // files twice once the first gets to them.
            qWarning("%s", Tr("Окно Kestrun не отвечает; файлы переданы ему и откроются, когда оно "
                              "освободится."));
        }
        return outcome == Outcome::Taken || outcome == Outcome::NoAnswer;
    };
    // With a window up, telling it is all there is to do.
    const Outcome first = Send(message);
    if (over(first)) {
        return true;
    }
    if (first == Outcome::Foreign) {
        return false;
    }
    claim_ = std::make_unique<QLockFile>(name_ + QStringLiteral(".lock"));
    if (!claim_->tryLock(CLAIM_WAIT_MS)) {
        // Whoever holds it is stuck: this start goes on without it.
        claim_.reset();
        return over(Send(message));
    }
    // Under the claim no window is on its way up, so a name nobody answers on was left by a
    // window that died.
    const QDeadlineTimer deadline(CLOSING_WAIT_MS);
    for (;;) {
        const Outcome outcome = Send(message);
        if (over(outcome)) {
            claim_.reset();
            return true;
        }
        if (outcome == Outcome::NoWindow) {
            stale_ = true;
            return false;
        }
        if (outcome == Outcome::Foreign || deadline.hasExpired()) {
            claim_.reset();
            return false;
        }
        std::this_thread::sleep_for(CLOSING_POLL);
    }
}

bool SingleInstance::Listen(std::function<bool(const QStringList&)> receive) {
    Close();
    receive_ = std::move(receive);
    server_ = new QLocalServer(this);
    // Only this user may connect, wherever the socket lies.
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // On Unix a listen with access options replaces the file anyway; elsewhere it would not.
    if (stale_) {
        QLocalServer::removeServer(name_);
    }
    const bool listening = server_->listen(name_);
    claim_.reset();
    if (!listening) {
        qWarning("%s", qUtf8Printable(
                           QString::fromUtf8(Tr("Не удалось открыть сокет %1: %2. Файлы из других "
                                                "запусков не попадут в это окно."))
                               .arg(name_, server_->errorString())));
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
    return true;
}

QString SingleInstance::errorString() const {
    return server_ ? server_->errorString() : QString();
}

void SingleInstance::Close() {
    for (QLocalSocket* peer : std::as_const(peers_)) {
        disconnect(peer, nullptr, this, nullptr);
    }
    peers_.clear();
    // Its name goes with it: the next start finds no window and becomes one.
    delete server_;
    server_ = nullptr;
    claim_.reset();
}

void SingleInstance::OnNewConnection() {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
        if (peers_.size() >= MAX_PEERS) {
            peer->abort();
            peer->deleteLater();
            continue;
        }
        peers_.insert(peer);
        auto* timer = new QTimer(peer);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, peer] { Finish(peer, false); });
        timer->start(peerTimeout_);
        connect(peer, &QLocalSocket::readyRead, this, [this, peer] { OnPeerData(peer); });
        // A message may have come whole just before its sender hung up.
        connect(peer, &QLocalSocket::disconnected, this, [this, peer] {
            OnPeerData(peer);
            Finish(peer, false);
        });
        OnPeerData(peer);
    }
}

void SingleInstance::OnPeerData(QLocalSocket* peer) {
    if (!peers_.contains(peer) || peer->bytesAvailable() < 4) {
        return;
    }
    char head[4];
    peer->peek(head, 4);
    const quint32 size = qFromBigEndian<quint32>(head);
    if (size > MAX_MESSAGE) {
        Finish(peer, false);
        return;
    }
    if (peer->bytesAvailable() < 4 + qint64(size)) {
        return;
    }
    peer->skip(4);
    const std::optional<QStringList> paths = DecodeHandOver(peer->read(size));
    Finish(peer, paths && receive_ && receive_(*paths));
}

void SingleInstance::Finish(QLocalSocket* peer, bool taken) {
    if (!peers_.remove(peer)) {
        return;
    }
    disconnect(peer, nullptr, this, nullptr);
    if (taken) {
        peer->write(&ANSWER, 1);
        // One byte on a fresh local socket: it is in the peer's hands once flush returns.
        peer->flush();
        peer->disconnectFromServer();
    } else {
        peer->abort();
    }
    peer->deleteLater();
}

} // namespace kestrun
