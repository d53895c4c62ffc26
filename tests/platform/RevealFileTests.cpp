#include "platform/RevealFile.h"
#include "tests/platform/TestSessionBus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QObject>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <vector>

namespace quern {
namespace {

constexpr int kDeadlineMs = 5000;
const QString kFileManagerService = QStringLiteral("org.freedesktop.FileManager1");
const QString kFileManagerPath = QStringLiteral("/org/freedesktop/FileManager1");

struct ShowItemsCall {
    QStringList uris;
    QString startupId;
};

// Stands in for the desktop's file manager on the private bus.
class FakeFileManager final : public QDBusVirtualObject {
public:
    explicit FakeFileManager(bool refuses)
        : refuses_(refuses) {}

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != kFileManagerService || message.member() != QStringLiteral("ShowItems") ||
            message.signature() != QStringLiteral("ass"))
            return false;
        {
            const QMutexLocker lock(&mutex_);
            calls_.push_back(
                {message.arguments().at(0).toStringList(), message.arguments().at(1).toString()});
        }
        connection.send(refuses_ ? message.createErrorReply(QDBusError::Failed, QStringLiteral("no window"))
                                 : message.createReply());
        return true;
    }
    QString introspect(const QString&) const override { return {}; }

    [[nodiscard]] std::vector<ShowItemsCall> calls() const {
        const QMutexLocker lock(&mutex_);
        return calls_;
    }

private:
    bool refuses_;
    mutable QMutex mutex_;
    std::vector<ShowItemsCall> calls_;
};

// Owns the well-known name on a connection of its own, as a separate process would.
class FileManagerOnBus {
public:
    explicit FileManagerOnBus(bool refuses)
        : fake_(refuses) {
        registered_ = bus_.isConnected() && bus_.registerService(kFileManagerService) &&
                      bus_.registerVirtualObject(kFileManagerPath, &fake_);
    }
    FileManagerOnBus(const FileManagerOnBus&) = delete;
    FileManagerOnBus& operator=(const FileManagerOnBus&) = delete;
    ~FileManagerOnBus() {
        bus_.unregisterObject(kFileManagerPath);
        bus_.unregisterService(kFileManagerService);
        QDBusConnection::disconnectFromBus(kConnectionName);
    }

    [[nodiscard]] bool registered() const { return registered_; }
    [[nodiscard]] std::vector<ShowItemsCall> calls() const { return fake_.calls(); }

private:
    static inline const QString kConnectionName = QStringLiteral("quern-fake-file-manager");
    FakeFileManager fake_;
    QDBusConnection bus_ = QDBusConnection::connectToBus(QDBusConnection::SessionBus, kConnectionName);
    bool registered_ = false;
};

// Receives what QDesktopServices::openUrl would hand to the desktop.
class OpenedUrls : public QObject {
    Q_OBJECT

public:
    OpenedUrls() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open"); }
    OpenedUrls(const OpenedUrls&) = delete;
    OpenedUrls& operator=(const OpenedUrls&) = delete;
    ~OpenedUrls() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }

    std::vector<QUrl> urls;

public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

// Replies on one connection arrive in order: once a later round trip is back and the queued
// events are delivered, an earlier reply has been handled.
void drainSessionBus() {
    const QDBusMessage ping = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
    ASSERT_EQ(QDBusConnection::sessionBus().call(ping).type(), QDBusMessage::ReplyMessage);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

QString expectedUri(const QString& absolutePath) {
    return QStringLiteral("file://") + QString::fromLatin1(QUrl::toPercentEncoding(absolutePath, "/"));
}

class RevealFile : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        folder_ = QDir(dir_.path()).canonicalPath();
    }

    QString makeFile(const QString& name) {
        QFile file(folder_ + QLatin1Char('/') + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        return file.fileName();
    }

    QTemporaryDir dir_;
    QString folder_;
    OpenedUrls opened_;
};

TEST_F(RevealFile, AsksTheFileManagerToSelectTheFile) {
    if (!test::TestSessionBus::running())
        GTEST_SKIP() << "dbus-daemon is not installed";
    const FileManagerOnBus fileManager(false);
    ASSERT_TRUE(fileManager.registered());

    const QStringList paths{makeFile(QStringLiteral("agent.log")),
                            makeFile(QStringLiteral("with space ü.log")),
                            folder_ + QStringLiteral("/not-written-yet.log")};
    for (const QString& path : paths)
        revealFile(path);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fileManager.calls().size() == 3; }, kDeadlineMs));

    const auto calls = fileManager.calls();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].uris, QStringList{expectedUri(paths[int(i)])});
        EXPECT_EQ(calls[i].startupId, QString());
    }
    drainSessionBus();
    EXPECT_TRUE(opened_.urls.empty()) << "the folder was opened as well";
}

TEST_F(RevealFile, OpensTheContainingFolderWhenNoFileManagerTakesIt) {
    struct Row {
        const char* what;
        bool fileManagerPresent;
    };
    for (const Row row : {Row{"file manager refuses", true}, Row{"no file manager on the bus", false}}) {
        SCOPED_TRACE(row.what);
        if (row.fileManagerPresent && !test::TestSessionBus::running())
            continue; // the no-bus case below still runs
        opened_.urls.clear();
        std::optional<FileManagerOnBus> fileManager;
        if (row.fileManagerPresent) {
            fileManager.emplace(true);
            ASSERT_TRUE(fileManager->registered());
        }

        revealFile(makeFile(QStringLiteral("quern.log")));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !opened_.urls.empty(); }, kDeadlineMs));
        ASSERT_EQ(opened_.urls.size(), 1U);
        EXPECT_EQ(opened_.urls.front(), QUrl::fromLocalFile(folder_));
        if (fileManager) {
            EXPECT_EQ(fileManager->calls().size(), 1U);
        }
    }
}

} // namespace
} // namespace quern

#include "RevealFileTests.moc"
