#include "platform/Desktop.h"
#include "support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDesktopServices>
#include <QDir>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <optional>

namespace quern {
namespace {

const QString kService = QStringLiteral("org.freedesktop.FileManager1");
const QString kPath = QStringLiteral("/org/freedesktop/FileManager1");

// The desktop's file manager on the private bus, on a connection of its own as a separate process
// would have; it answers ShowItems, or refuses it.
class FakeFileManager final : public QDBusVirtualObject {
public:
    explicit FakeFileManager(bool refuses)
        : refuses_(refuses) {
        registered = bus_.registerService(kService) && bus_.registerVirtualObject(kPath, this);
    }
    FakeFileManager(const FakeFileManager&) = delete;
    FakeFileManager& operator=(const FakeFileManager&) = delete;
    ~FakeFileManager() override {
        bus_.unregisterObject(kPath);
        bus_.unregisterService(kService);
        QDBusConnection::disconnectFromBus(QStringLiteral("file-manager"));
    }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() != QStringLiteral("ShowItems") || message.signature() != QStringLiteral("ass"))
            return false;
        uris = message.arguments().at(0).toStringList(); // on the bus's thread: read once shown is 1
        shown.fetchAndAddRelease(1);
        connection.send(refuses_ ? message.createErrorReply(QDBusError::Failed, QStringLiteral("no window"))
                                 : message.createReply());
        return true;
    }
    QString introspect(const QString&) const override { return {}; }

    bool registered = false;
    QAtomicInt shown;
    QStringList uris;

private:
    bool refuses_;
    QDBusConnection bus_ =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("file-manager"));
};

// Receives what QDesktopServices::openUrl would hand to the desktop.
class OpenedUrls : public QObject {
    Q_OBJECT
public:
    OpenedUrls() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open"); }
    ~OpenedUrls() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
    std::vector<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

// The file manager is asked to select the file, even one not written yet; where it refuses, or
// none is on the bus, the folder is opened instead, and only then.
TEST(RevealFile, TheFileManagerSelectsTheFileOrElseTheFolderOpens) {
    if (qEnvironmentVariableIsEmpty("QUERN_PRIVATE_BUS"))
        GTEST_SKIP() << "needs the private session bus that ctest starts";
    const test::TempDir dir("quern reveal ü");
    const QString folder = QDir(QString::fromStdString(dir.path().string())).canonicalPath();
    const QString log = folder + QStringLiteral("/agent.log");
    const auto wait = [](const auto& condition) {
        return QTest::qWaitFor(condition, static_cast<int>(test::kHangGuard.count()));
    };
    for (const std::optional<bool> refuses :
         {std::optional(false), std::optional(true), std::optional<bool>()}) {
        SCOPED_TRACE(!refuses   ? "no file manager"
                     : *refuses ? "file manager refuses"
                                : "file manager answers");
        const OpenedUrls opened;
        std::optional<FakeFileManager> fileManager;
        if (refuses) {
            ASSERT_TRUE(fileManager.emplace(*refuses).registered);
        }
        Desktop::instance().revealFile(log);
        if (fileManager) {
            ASSERT_TRUE(wait([&] { return fileManager->shown.loadAcquire() == 1; })) << "hung";
            EXPECT_EQ(fileManager->uris, QStringList{QUrl::fromLocalFile(log).toString(QUrl::FullyEncoded)});
        }
        if (refuses == std::optional(false)) {
            // A later round trip on the same connection is back: the reply to ShowItems was handled.
            (void)QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping")));
            QCoreApplication::processEvents();
            EXPECT_TRUE(opened.urls.empty()) << "the folder was opened as well";
        } else {
            ASSERT_TRUE(wait([&] { return !opened.urls.empty(); })) << "hung";
            EXPECT_EQ(opened.urls, std::vector<QUrl>{QUrl::fromLocalFile(folder)});
        }
    }
}

} // namespace
} // namespace quern

#include "RevealFileTests.moc"
