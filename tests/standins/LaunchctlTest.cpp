#include "standins/JobRecord.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <ctime>
#include <optional>
#include <tuple>
#include <unistd.h>
#include <utility>

namespace quern::test {
namespace {

using namespace std::chrono_literals;

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::optional<int> pidOf(const std::string& description) {
    const std::size_t at = description.find("\tpid = ");
    return at == std::string::npos ? std::nullopt : std::optional(std::stoi(description.substr(at + 7)));
}

class LaunchctlTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(home + "/Library"); }

    void TearDown() override {
        for (const std::string& label : loaded)
            (void)launchctl({"bootout", service(label)});
        // Nothing this test started may outlive it: no job and no monitor.
        EXPECT_TRUE(waitUntil([&] { return processesWithEnvironment("HOME=" + home).empty(); })) << "hung";
        for (const int pid : processesWithEnvironment("HOME=" + home))
            ::kill(pid, SIGKILL);
    }

    [[nodiscard]] SpawnResult launchctl(const std::vector<std::string>& arguments) const {
        SpawnResult result = run(test::kLaunchctl, arguments, environment);
        EXPECT_FALSE(result.timedOut) << "hung: " << ::testing::PrintToString(arguments);
        return result;
    }
    [[nodiscard]] std::string printed(const std::string& label) const {
        const SpawnResult result = launchctl({"print", service(label)});
        EXPECT_EQ(result.status, 0) << result.errors;
        return result.output;
    }
    [[nodiscard]] std::string service(const std::string& label) const { return domain + "/" + label; }
    [[nodiscard]] static bool live(std::int64_t pid) { // and not a zombie
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        return !stat.empty() && stat[stat.rfind(')') + 2] != 'Z';
    }

    // The job is the agent unless arguments are given; they and the extra keys are XML text already.
    std::string writePlist(const std::string& label, const std::string& extraKeys = "",
                           std::vector<std::string> arguments = {}) const {
        if (arguments.empty())
            arguments = {test::kAgent, "--interval", "0.2"};
        const std::string path = home + "/Library/" + label + ".plist";
        writeFile(path, jobPlist(label, arguments, extraKeys));
        return path;
    }
    // Read through a pipe, as a shell's $(...) would: it must reach its end even though the call
    // left a job running.
    SpawnResult bootstrap(const std::string& label, const std::string& extraKeys = "",
                          const std::vector<std::string>& arguments = {}) {
        loaded.push_back(label);
        SpawnResult result = run("/bin/bash",
                                 {"-c", "set -o pipefail; \"$0\" \"$@\" | cat", test::kLaunchctl, "bootstrap",
                                  domain, writePlist(label, extraKeys, arguments)},
                                 environment);
        EXPECT_FALSE(result.timedOut) << "hung: the pipe never reached its end";
        return result;
    }

    TempDir root{"quern-launchctl"};
    const std::string home = root / "Zoë Müller 家 home"; // spaces and non-ASCII letters, as user names have
    const std::string uid = std::to_string(::getuid());
    const std::string domain = "gui/" + uid;
    std::vector<std::string> environment{"HOME=" + home, "QUERN_LAUNCHD_DIR=" + root / "launchd",
                                         "QUERN_LAUNCHD_THROTTLE=10"};
    std::vector<std::string> loaded;
};

TEST_F(LaunchctlTest, BootstrapPrintBootout) {
    const std::string label = "com.example.quern.cycle";
    const SpawnResult boot = bootstrap(label);
    ASSERT_EQ(boot.status, 0) << boot.errors;
    EXPECT_EQ(boot.output + boot.errors, "");

    const std::string shown = printed(label);
    EXPECT_TRUE(shown.starts_with(service(label) + " = {\n") && has(shown, "\tstate = running\n") &&
                has(shown, "\tpath = " + home + "/Library/" + label + ".plist\n") &&
                has(shown, "\truns = 1\n"))
        << shown;
    const std::optional<int> pid = pidOf(shown);
    ASSERT_TRUE(pid && live(*pid)) << shown;

    const std::string healthFile = home + "/.quern-web-bridge/health.json";
    ASSERT_TRUE(waitUntil([&] { return !readFile(healthFile).empty(); }))
        << "hung"; // written whole, then renamed
    const nlohmann::json health = nlohmann::json::parse(readFile(healthFile));
    EXPECT_EQ(health.value("pid", -1), *pid); // the pid print shows is the agent's own
    EXPECT_NEAR(health.value("server_ok_at", -1.0), static_cast<double>(std::time(nullptr)), 10.0);

    EXPECT_EQ(launchctl({"bootout", service(label)}).status, 0);
    EXPECT_FALSE(live(*pid)) << "bootout returned before the agent ended";
    EXPECT_TRUE(has(readFile(home + "/.quern-web-bridge/agent.log"), "exit (SIGTERM)"));
    const SpawnResult gone = launchctl({"print", service(label)});
    EXPECT_EQ(gone.status, 113);
    EXPECT_EQ(gone.output + gone.errors,
              "Bad request.\nCould not find service \"" + label + "\" in domain for user gui: " + uid + "\n");
}

TEST_F(LaunchctlTest, FailuresAreHandledAsLaunchdDoes) {
    const std::string good = "com.example.quern.good";
    ASSERT_EQ(bootstrap(good).status, 0);
    const std::string plist = home + "/Library/" + good + ".plist";
    const std::string broken = home + "/broken.plist";
    writeFile(broken, "<plist><dict><key>Label</key><string>x</dict></plist>");
    const std::string other = "gui/" + std::to_string(::getuid() + 1);
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
        {{"bootstrap", domain, plist}, 5, "Bootstrap failed: 5: Input/output error\n"},
        {{"bootout", service("com.example.quern.absent")}, 3, "Boot-out failed: 3: No such process\n"},
        {{"bootstrap", domain, home + "/none"}, 2, "Bootstrap failed: 2: No such file or directory\n"},
        {{"bootstrap", domain, broken}, 109, "Bootstrap failed: 109: Invalid property list\n"},
        {{"bootstrap", other, plist}, 1, "Bootstrap failed: 1: Operation not permitted\n"},
        {{"print", other + "/" + good}, 1, "Bad request.\nPrint failed: 1: Operation not permitted\n"},
        {{"bootstrap", service(good), plist}, 64, "Usage:"},
    };
    for (const auto& [arguments, status, errorsStart] : cases) {
        const SpawnResult result = launchctl(arguments);
        EXPECT_EQ(result.status, status) << ::testing::PrintToString(arguments) << result.errors;
        EXPECT_TRUE(result.errors.starts_with(errorsStart) && result.output.empty()) << result.errors;
    }
    const std::optional<int> pid = pidOf(printed(good));
    ASSERT_TRUE(pid && has(printed(good), "\truns = 1\n"))
        << "a refused request restarted or stopped the job";

    // A stopped agent cannot act on SIGTERM: bootout still ends it, with SIGKILL after a grace period.
    ASSERT_EQ(::kill(*pid, SIGSTOP), 0);
    EXPECT_EQ(launchctl({"bootout", service(good)}).status, 0);
    EXPECT_FALSE(live(*pid)) << "bootout returned before the agent ended";
}

TEST_F(LaunchctlTest, ARecycledPidIsNeverSignalled) {
    const std::string label = "com.example.quern.recycled";
    ASSERT_EQ(bootstrap(label).status, 0);
    const std::string recordPath = root / ("launchd/" + label + ".job");
    auto record = standins::parseRecord(readFile(recordPath));
    ASSERT_TRUE(record && live(record->pid));
    // Point the record at another process, as if the pid had been reused; none started at clock tick 1.
    ChildProcess bystander = startProgram("/bin/sleep", {"600"});
    const auto agent = static_cast<pid_t>(std::exchange(record->pid, bystander.pid()));
    record->startTicks = 1;
    writeFile(recordPath, standins::serializeRecord(*record));
    const std::string shown = printed(label);
    EXPECT_TRUE(has(shown, "\tstate = not running\n") && !pidOf(shown)) << shown;
    EXPECT_EQ(launchctl({"bootout", service(label)}).status, 0);
    EXPECT_TRUE(bystander.running());
    ::kill(agent, SIGKILL); // no longer reachable through launchctl
}

TEST_F(LaunchctlTest, OnlyKeepAliveJobsRestartAndNotWithinTheThrottle) {
    environment[2] = "QUERN_LAUNCHD_THROTTLE=2";
    const std::string plain = "com.example.quern.plain", out = home + "/out log";
    ASSERT_EQ(bootstrap(plain, "<key>StandardOutPath</key><string>" + out + "</string>",
                        {"/bin/sh", "-c", "pwd; echo \"$HOME\""})
                  .status,
              0);
    // Bootstrapped after the plain job, so by the time this one restarts, the plain one could have too.
    const std::string kept = "com.example.quern.kept";
    const auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(bootstrap(kept, "<key>KeepAlive</key><true/>").status, 0);
    const std::optional<int> first = pidOf(printed(kept));
    ASSERT_TRUE(first);
    ASSERT_EQ(::kill(*first, SIGKILL), 0);
    std::optional<int> next;
    ASSERT_TRUE(waitUntil([&] {
        next = pidOf(printed(kept));
        return next && *next != *first;
    })) << "hung";
    EXPECT_GE(std::chrono::steady_clock::now() - before, 2s) << "restarted within the throttle interval";
    EXPECT_TRUE(
        has(printed(kept), "\truns = 2\n\tpid = " + std::to_string(*next) + "\n\tlast exit code = 9\n"));
    // The plain job ran once, in "/", with our HOME, its output appended to its log.
    std::string shown;
    EXPECT_TRUE(waitUntil([&] { return has(shown = printed(plain), "\truns = 1\n\tlast exit code = 0\n"); }))
        << shown;
    EXPECT_EQ(readFile(out), "/\n" + home + "\n");
}

} // namespace
} // namespace quern::test
