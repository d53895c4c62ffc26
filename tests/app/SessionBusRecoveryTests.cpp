#include "app/SessionBusRecovery.h"
#include "support/TestSupport.h"

#include <QDesktopServices>
#include <QUrl>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

namespace quern {
namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Kept off a bus that takes connections and never answers, the client itself runs with
// "disabled:", but a browser it opens and a program it runs get the address it was started with.
TEST(SessionBusRecovery, ChildrenOfAClientKeptOffASilentBusGetTheRealAddress) {
    const test::TempDir folder;
    const UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (folder / "bus").c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.get(), 64), 0); // and never accepts
    test::writeFile(
        folder / "xdg-open",
        "#!/bin/sh\necho \"$DBUS_SESSION_BUS_ADDRESS $1\" >\"$0.part\" && mv \"$0.part\" \"$0.out\"\n");
    std::filesystem::permissions(folder / "xdg-open", std::filesystem::perms::owner_all);
    const std::string bus = variable("DBUS_SESSION_BUS_ADDRESS");
    const std::string path = variable("PATH");
    const std::string silent = "unix:path=" + (folder / "bus");
    ::setenv("DBUS_SESSION_BUS_ADDRESS", silent.c_str(), 1);
    ::setenv("PATH", (folder.path().string() + ":" + path).c_str(), 1);

    keepQtOffASilentSessionBus();
    EXPECT_EQ(variable("DBUS_SESSION_BUS_ADDRESS"), "disabled:");
    {
        const std::unique_ptr<SessionBusRecovery> recovery = SessionBusRecovery::start({});
        ASSERT_NE(recovery, nullptr);
        EXPECT_TRUE(QDesktopServices::openUrl(QUrl(QStringLiteral("https://console.example/a b"))));
        EXPECT_TRUE(test::waitUntil([&] { return std::filesystem::exists(folder / "xdg-open.out"); }));
        EXPECT_EQ(test::readFile(folder / "xdg-open.out"), silent + " https://console.example/a%20b\n");
        const SpawnResult environment = test::run("/usr/bin/env", {});
        EXPECT_NE(("\n" + environment.output).find("\nDBUS_SESSION_BUS_ADDRESS=" + silent + "\n"),
                  std::string::npos);
        EXPECT_EQ(environment.output.find("disabled:"), std::string::npos);
    }
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
    ::setenv("PATH", path.c_str(), 1);
}

} // namespace
} // namespace quern
