#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

namespace quern {

// One client per user session. The first launch holds a lock file and listens on a local socket
// beside it; a later launch finds the lock held, asks the holder over the socket to show itself,
// and steps aside. A lock or socket left by a crashed client is taken over.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        first,      // this process is the client; the lock is held until it exits
        handedOver, // the running client was asked to show itself: exit now
        unanswered, // the lock is held by a live client that did not answer
    };

    // `directory` is private to the user: the session's runtime directory.
    explicit SingleInstance(const QString& directory, QObject* parent = nullptr);
    ~SingleInstance() override;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Tries for up to `patience`: the first client may be between taking the lock and listening.
    [[nodiscard]] Role claim(std::chrono::milliseconds patience);

signals:
    // A later launch asked for the window (first role only).
    void activationRequested();

private:
    void listen();

    QString socketPath_;
    QLockFile lock_;
    std::unique_ptr<QLocalServer> server_;
};

// The user's runtime directory ($XDG_RUNTIME_DIR); where it is unset, a folder of our own in the
// temporary directory, made private to the user. Empty if neither is usable.
[[nodiscard]] QString sessionRuntimeDirectory();

} // namespace quern
