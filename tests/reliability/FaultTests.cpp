// Drives the client into faults of its tools and inputs: it must show the right state, never
// block on them, and leave no child and no descriptor behind.
#include "app/ClientFixture.h"

#include <fcntl.h>
#include <thread>

namespace quern {
namespace {

class Faults : public test::ClientFixture {
protected:
    void SetUp() override {
        ClientFixture::SetUp();
        service.running = true;
        (void)launched(); // Qt opens what it keeps for the process (fonts, tray) with the first window
        baseline = test::openDescriptorCount();
    }
    // Once the background work has ended every child is reaped and every descriptor closed.
    void TearDown() override {
        EXPECT_TRUE(waitFor([&] {
            return test::childProcesses().empty() && test::openDescriptorCount() == baseline;
        })) << "hung: "
            << test::childProcesses().size() << " children, " << test::openDescriptorCount()
            << " descriptors open, " << baseline << " at the start";
    }
    int baseline = 0;
};

TEST_F(Faults, UnusableHealthFilesNeverBlockAndNeverMakeTheAgentOnline) {
    const std::string health = configDir + "/health.json";
    const std::string fresh =
        "{\"server_ok_at\": " +
        std::to_string(
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() +
            600) +
        "}";
    struct Row {
        const char* name;
        std::function<void()> arrange;
    };
    const std::vector<Row> rows = {
        {"missing", [] {}},
        {"a FIFO", [&] { ::mkfifo(health.c_str(), 0600); }},
        {"a directory", [&] { ::mkdir(health.c_str(), 0700); }},
        {"50 MiB", [&] { test::writeFile(health, fresh + std::string(50 << 20, ' ')); }},
        {"a link to /dev/zero", [&] { (void)::symlink("/dev/zero", health.c_str()); }},
        {"unreadable (and stale, for root reads it all the same)",
         [&] {
             test::writeFile(health, "{\"server_ok_at\": 1}");
             ::chmod(health.c_str(), 0);
         }},
    };
    Supervisor& supervisor = client->supervisor();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(health);
        row.arrange();
        supervisor.refreshStatus(); // returns: opening a FIFO or a device never waits for a writer
        EXPECT_EQ(supervisor.state(), AgentState::running);
    }
    std::filesystem::remove_all(health);

    // A writer rewriting the file in place, byte by byte: each refresh sees a whole record or none.
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        while (writing) {
            const int fd = ::open(health.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            for (char c : fresh)
                (void)!::write(fd, &c, 1);
            ::close(fd);
        }
    });
    int online = 0;
    for (int i = 0; i < 200 || online == 0; ++i) {
        supervisor.refreshStatus();
        online += supervisor.state() == AgentState::online ? 1 : 0;
        ASSERT_LT(i, 100'000) << "hung: never saw a whole record";
    }
    writing = false;
    writer.join();
}

} // namespace
} // namespace quern
