#include "platform/RevealFile.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>

namespace quern {
namespace {

// A file manager started on demand by the bus can take seconds before it answers.
constexpr int kReplyTimeoutMs = 10'000;

void openContainingFolder(const QFileInfo& file) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(file.absolutePath()));
}

} // namespace

void revealFile(const QString& path) {
    if (path.isEmpty())
        return;
    const QFileInfo file(path);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openContainingFolder(file);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    // Asked for even when missing: what to show then is the file manager's call.
    const QString uri = QString::fromLatin1(QUrl::fromLocalFile(file.absoluteFilePath()).toEncoded());
    call << QStringList{uri} << QString();

    auto* watcher =
        new QDBusPendingCallWatcher(bus.asyncCall(call, kReplyTimeoutMs), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [file](QDBusPendingCallWatcher* done) {
                         if (done->isError())
                             openContainingFolder(file);
                         done->deleteLater();
                     });
}

} // namespace quern
