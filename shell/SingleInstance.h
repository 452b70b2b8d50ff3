// SingleInstance: one window per user. A start that finds a window running hands that window
// its files over a local socket and ends; the first start listens there for the later ones.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QLocalServer;
class QLocalSocket;
class QLockFile;

namespace kestrun {

// What goes over the socket: the length of the rest, then a tag and the paths, each with
// its length, so a name may hold any character (a newline too).
QByteArray EncodeHandOver(const QStringList& paths);
// The paths of a message's body (what follows its length); none for a body that is not one.
std::optional<QStringList> DecodeHandOver(const QByteArray& body);

class SingleInstance : public QObject {
    Q_OBJECT
public:
    // The user's socket: in XDG_RUNTIME_DIR when that is set, else in the temporary folder;
    // the user's id in its name either way.
    static QString DefaultName();

    explicit SingleInstance(QString name, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Gives the paths to the window running under this name; true once that window has taken
    // them, and this start is over. False: no window took them, and this process is to be the
    // window. Blocks, with no event loop: it is meant to run before the application object
    // exists. Having found no window, it keeps a claim on the name until Listen, so that a
    // start made at the same moment waits for this window instead of making its own.
    bool HandOver(const QStringList& paths);

    // Serves the starts that come later: each one's paths go to `receive`, on this object's
    // thread. A false answer (the window's run is over) leaves the sender unanswered, and it
    // starts a window of its own. Takes the name, replacing a socket nobody answers on, and
    // releases the claim. False when the name cannot be had at all (another user's socket in
    // a shared folder, a folder that is not there): the window then runs without hand-over.
    bool Listen(std::function<bool(const QStringList&)> receive);
    QString errorString() const;
    // Stops serving, peers in the middle of a message unanswered; the name is free for the
    // next start.
    void Close();

    // How long a peer may take to send its message.
    void SetPeerTimeout(std::chrono::milliseconds timeout) { peerTimeout_ = timeout; }
    const QString& name() const { return name_; }

private:
    // NoAnswer: the window has the message but has not answered in time (busy, or hung).
    enum class Outcome { Taken, NoAnswer, NoWindow, Refused, Foreign };
    Outcome Send(const QByteArray& message) const;
    void OnNewConnection();
    void OnPeerData(QLocalSocket* peer);
    void Finish(QLocalSocket* peer, bool taken);

    QString name_;
    std::unique_ptr<QLockFile> claim_;
    bool stale_ = false; // the name was found unanswered while holding the claim
    QLocalServer* server_ = nullptr;
    QSet<QLocalSocket*> peers_; // connected, message not yet handled
    std::function<bool(const QStringList&)> receive_;
    std::chrono::milliseconds peerTimeout_{5000};
};

} // namespace kestrun
