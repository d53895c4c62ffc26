#include "StandinHarness.h"
#include "standins/JobRecord.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <iterator>
#include <latch>
#include <set>
#include <sstream>
#include <thread>

namespace quern::standins::testing {
namespace {

const std::string kLaunchctl = QUERN_LAUNCHCTL_PATH;
const std::string kAgent = QUERN_AGENT_PATH;
constexpr std::string_view kNotLoadedErr = "Boot-out failed: 3: No such process\n";

struct Job {
    std::string label;
    std::vector<std::string> arguments;
    bool keepAlive = false;
    std::string stdoutPath;
    std::string stderrPath;
};

std::string xmlText(std::string_view text) {
    std::string out;
    for (const char c : text)
        out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : std::string(1, c);
    return out;
}

std::optional<pid_t> pidOf(const std::string& description) {
    const std::size_t at = description.find("\tpid = ");
    if (at == std::string::npos)
        return std::nullopt;
    return static_cast<pid_t>(std::atol(description.c_str() + at + 7));
}

bool has(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

class LaunchctlTest : public ::testing::Test {
protected:
    explicit LaunchctlTest(std::string_view homeStem = "quern-home-")
        : home_(homeStem)
        , environment_{"HOME=" + home_.path(), "QUERN_LAUNCHD_DIR=" + state_.path(),
                       "QUERN_LAUNCHD_THROTTLE=10"} {
        mkdir((home_.path() + "/Library").c_str(), 0700);
    }

    void TearDown() override {
        for (const std::string& label : loaded_)
            (void)launchctl({"bootout", service(label)});
        // Nothing this test started may outlive it: no agent, and no monitor.
        EXPECT_TRUE(waitUntil(
            [&] { return processesOf(kAgent, home()).empty() && processesOf(kLaunchctl, home()).empty(); },
            10s));
        for (const pid_t pid : processesOf(kAgent, home()))
            kill(pid, SIGKILL);
    }

    [[nodiscard]] const std::string& home() const { return home_.path(); }
    void setThrottle(std::string_view seconds) {
        environment_[2] = "QUERN_LAUNCHD_THROTTLE=" + std::string(seconds);
    }
    [[nodiscard]] std::string domain() const { return "gui/" + std::to_string(getuid()); }
    [[nodiscard]] std::string service(std::string_view label) const {
        return domain() + "/" + std::string(label);
    }

    [[nodiscard]] RunResult launchctl(std::vector<std::string> args,
                                      std::chrono::milliseconds deadline = 15s) const {
        args.insert(args.begin(), kLaunchctl);
        return run(args, environment_, deadline);
    }

    [[nodiscard]] Job agentJob(std::string label) const {
        const std::string hups = home() + "/" + label + ".hups";
        return {label, {kAgent, "--interval", "0.2", "--sighup-log", hups}, false, "", ""};
    }

    std::string writePlist(const Job& job) {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
        xml += "\t<key>Label</key><string>" + xmlText(job.label) +
               "</string>\n\t<key>ProgramArguments</key><array>";
        for (const std::string& argument : job.arguments)
            xml += "<string>" + xmlText(argument) + "</string>";
        xml +=
            std::string("</array>\n\t<key>KeepAlive</key>") + (job.keepAlive ? "<true/>" : "<false/>") + "\n";
        if (!job.stdoutPath.empty())
            xml += "\t<key>StandardOutPath</key><string>" + xmlText(job.stdoutPath) + "</string>\n";
        if (!job.stderrPath.empty())
            xml += "\t<key>StandardErrorPath</key><string>" + xmlText(job.stderrPath) + "</string>\n";
        xml += "\t<key>ProcessType</key><string>Interactive</string>\n</dict>\n</plist>\n";
        const std::string path = home() + "/Library/" + job.label + ".plist";
        writeFile(path, xml);
        return path;
    }

    RunResult bootstrap(const Job& job) {
        loaded_.push_back(job.label);
        return launchctl({"bootstrap", domain(), writePlist(job)});
    }

    std::string printed(std::string_view label) const {
        const RunResult result = launchctl({"print", service(label)});
        EXPECT_EQ(result.status, 0) << result.err;
        return result.out;
    }

    TempDir home_;
    TempDir state_{"quern-launchd-"};
    std::vector<std::string> environment_;
    std::vector<std::string> loaded_;
};

// The second HOME has spaces and non-ASCII letters, as user names and volume names may.
constexpr std::array<const char*, 2> kHomeStems = {"quern-home-", "Quern Zöva hôme ✓ "};

class LifecycleTest : public LaunchctlTest, public ::testing::WithParamInterface<std::size_t> {
protected:
    LifecycleTest()
        : LaunchctlTest(kHomeStems.at(GetParam())) {}
};

TEST_P(LifecycleTest, BootstrapPrintSignalBootout) {
    const Job job = agentJob("com.example.quern.cycle");
    const RunResult boot = bootstrap(job);
    ASSERT_EQ(boot.status, 0) << boot.err;
    EXPECT_EQ(boot.out + boot.err, "");

    const std::string shown = printed(job.label);
    EXPECT_TRUE(shown.starts_with(service(job.label) + " = {\n")) << shown;
    EXPECT_TRUE(shown.ends_with("\n}\n")) << shown;
    for (const std::string& line :
         {std::string("\tstate = running\n"), std::string("\tactive count = 1\n"),
          std::string("\truns = 1\n"), std::string("\tlast exit code = (never exited)\n"),
          "\tpath = " + home() + "/Library/" + job.label + ".plist\n"})
        EXPECT_TRUE(has(shown, line)) << line << shown;
    const std::optional<pid_t> pid = pidOf(shown);
    ASSERT_TRUE(pid) << shown;
    EXPECT_EQ(processesOf(kAgent, home()), std::vector<pid_t>{*pid});

    nlohmann::json health;
    ASSERT_TRUE(waitUntil(
        [&] {
            health =
                nlohmann::json::parse(readFile(home() + "/.quern-web-bridge/health.json"), nullptr, false);
            return health.is_object();
        },
        10s));
    EXPECT_EQ(health["pid"], *pid);
    EXPECT_NEAR(health["server_ok_at"].get<double>(), static_cast<double>(time(nullptr)), 30.0);

    for (std::size_t expected = 1; expected <= 2; ++expected) {
        ASSERT_EQ(run(std::vector<std::string>{"/bin/kill", "-HUP", std::to_string(*pid)}, {}).status, 0);
        const std::string hups = job.arguments.back();
        EXPECT_TRUE(waitUntil(
            [&] { return std::ranges::count(readFile(hups), '\n') == static_cast<long>(expected); }, 10s))
            << "SIGHUP " << expected << " did not reach the agent";
    }

    const RunResult out = launchctl({"bootout", service(job.label)});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_FALSE(isLive(*pid)) << "bootout returned before the agent ended";
    const RunResult gone = launchctl({"print", service(job.label)});
    EXPECT_EQ(gone.status, 113);
    EXPECT_EQ(gone.out, "");
    EXPECT_EQ(gone.err, "Bad request.\nCould not find service \"" + job.label +
                            "\" in domain for user gui: " + std::to_string(getuid()) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Homes, LifecycleTest, ::testing::Values(0U, 1U),
                         [](const auto& info) { return info.index == 0 ? "Plain" : "SpacesAndNonAscii"; });

TEST_F(LaunchctlTest, JobRunsDetachedWithOnlyItsOwnDescriptors) {
    const Job job{"com.example.quern.shell",
                  {"/bin/sh", "-c", "echo out $$; pwd; echo err >&2; exec sleep 120"},
                  false,
                  home() + "/out.log",
                  home() + "/err.log"};
    writeFile(job.stdoutPath, "earlier\n"); // appended to, not truncated
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    loaded_.push_back(job.label);
    const RunResult boot = run(std::vector<std::string>{kLaunchctl, "bootstrap", domain(), writePlist(job)},
                               environment_, 15s, &blocked);
    ASSERT_EQ(boot.status, 0) << boot.err;
    const std::optional<pid_t> pid = pidOf(printed(job.label));
    ASSERT_TRUE(pid);
    const std::string expectedOut = "earlier\nout " + std::to_string(*pid) + "\n/\n";
    EXPECT_TRUE(waitUntil(
        [&] { return readFile(job.stdoutPath) == expectedOut && readFile(job.stderrPath) == "err\n"; }, 10s))
        << readFile(job.stdoutPath) << readFile(job.stderrPath);
    // The shell has exec'ed sleep by now; inspect what it inherited.
    const std::string proc = "/proc/" + std::to_string(*pid);
    EXPECT_TRUE(waitUntil([&] { return readFile(proc + "/comm") == "sleep\n"; }, 10s));
    EXPECT_EQ(getsid(*pid), *pid);
    EXPECT_EQ(linkTarget(proc + "/cwd"), "/");
    EXPECT_EQ(linkTarget(proc + "/fd/0"), "/dev/null");
    std::set<std::string> descriptors;
    const std::unique_ptr<DIR, int (*)(DIR*)> fds(opendir((proc + "/fd").c_str()), closedir);
    while (const dirent* entry = fds ? readdir(fds.get()) : nullptr)
        if (entry->d_name[0] != '.')
            descriptors.insert(entry->d_name);
    EXPECT_EQ(descriptors, (std::set<std::string>{"0", "1", "2"}));
    EXPECT_TRUE(has(readFile(proc + "/status"), "SigBlk:\t0000000000000000\n"));
    EXPECT_TRUE(has(readFile(proc + "/environ"), "HOME=" + home() + '\0'));
}

TEST_F(LaunchctlTest, FailuresExitAsLaunchdDoes) {
    const std::string uid = std::to_string(getuid());
    const std::string good = writePlist(agentJob("com.example.quern.good"));
    const std::string broken = home() + "/broken.plist";
    writeFile(broken, "<plist><dict><key>Label</key><string>x</dict></plist>");
    Job unlabelled = agentJob("");
    const std::string noLabel = writePlist(unlabelled);
    Job programless = agentJob("com.example.quern.programless");
    programless.arguments.clear();
    const std::string noProgram = writePlist(programless);
    const std::string absent = "com.example.quern.absent";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string stderrPart;
    };
    const std::vector<Case> cases = {
        {{"print", service(absent)},
         113,
         "Bad request.\nCould not find service \"" + absent + "\" in domain for user gui: " + uid + "\n"},
        {{"bootout", service(absent)}, 3, std::string(kNotLoadedErr)},
        {{"bootstrap", domain(), home() + "/missing.plist"},
         2,
         "Bootstrap failed: 2: No such file or directory\n"},
        {{"bootstrap", domain(), broken}, 109, "Bootstrap failed: 109: Invalid property list\n"},
        {{"bootstrap", domain(), noLabel}, 110, "Bootstrap failed: 110: "},
        {{"bootstrap", domain(), noProgram}, 111, "Bootstrap failed: 111: "},
        {{"bootstrap", "gui/" + std::to_string(getuid() + 1), good}, 1, "Operation not permitted"},
        {{"bootout", "gui/" + std::to_string(getuid() + 1) + "/com.example.quern.good"},
         1,
         "Operation not permitted"},
        {{"bootstrap", service("com.example.quern.good"), good}, 64, "Usage:"},
        {{"print", "system/" + absent}, 64, "Usage:"},
        {{"print"}, 64, "Usage:"},
        {{"kickstart", service(absent)}, 64, "Usage:"},
        {{}, 64, "Usage:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const RunResult result = launchctl(c.args);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_TRUE(has(result.err, c.stderrPart)) << result.err;
        EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(launchctl({"print", service("com.example.quern.good")}).status, 113);
    EXPECT_TRUE(processesOf(kAgent, home()).empty());
}

TEST_F(LaunchctlTest, ConcurrentInvocationsSerialise) {
    const Job job = agentJob("com.example.quern.race");
    const std::string plist = writePlist(job);
    loaded_.push_back(job.label);
    const auto race = [&](std::string_view even, std::vector<std::string> evenArgs) {
        std::vector<RunResult> results(8);
        std::latch start(8);
        {
            std::vector<std::jthread> threads;
            for (std::size_t i = 0; i < results.size(); ++i)
                threads.emplace_back([&, i] {
                    start.arrive_and_wait();
                    results[i] = launchctl(
                        i % 2 == 0 ? evenArgs : std::vector<std::string>{"print", service(job.label)});
                });
        }
        int succeeded = 0;
        for (std::size_t i = 0; i < results.size(); ++i) {
            const RunResult& r = results[i];
            SCOPED_TRACE(std::string(i % 2 == 0 ? even : "print") + " " + std::to_string(i) + ": " + r.err);
            if (i % 2 != 0) {
                EXPECT_TRUE(r.status == 113 || (r.status == 0 && r.out.ends_with("\n}\n")));
            } else if (r.status == 0) {
                ++succeeded;
            } else {
                EXPECT_EQ(r.status, even == "bootstrap" ? 5 : 3);
                EXPECT_EQ(r.err,
                          even == "bootstrap" ? "Bootstrap failed: 5: Input/output error\n" : kNotLoadedErr);
            }
        }
        EXPECT_EQ(succeeded, 1) << "exactly one " << even << " must win";
    };

    race("bootstrap", {"bootstrap", domain(), plist});
    const std::vector<pid_t> agents = processesOf(kAgent, home());
    ASSERT_EQ(agents.size(), 1U);
    const std::optional<JobRecord> record = parseRecord(readFile(state_.path() + "/" + job.label + ".job"));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->runs, 1U);
    EXPECT_EQ(record->pid, agents.front());

    race("bootout", {"bootout", service(job.label)});
    EXPECT_FALSE(isLive(agents.front()));
}

TEST_F(LaunchctlTest, KeepAliveRestartsOnlyAfterThrottle) {
    setThrottle("3");
    const auto before = std::chrono::steady_clock::now();
    const Job plain = agentJob("com.example.quern.plain");
    Job kept = agentJob("com.example.quern.kept");
    kept.keepAlive = true;
    ASSERT_EQ(bootstrap(plain).status, 0); // first, so its throttle has run out whenever kept's has
    ASSERT_EQ(bootstrap(kept).status, 0);
    const std::optional<pid_t> plainPid = pidOf(printed(plain.label));
    const std::optional<pid_t> keptPid = pidOf(printed(kept.label));
    ASSERT_TRUE(plainPid && keptPid);
    ASSERT_EQ(kill(*plainPid, SIGKILL), 0);
    ASSERT_EQ(kill(*keptPid, SIGKILL), 0);

    bool sawStopped = false;
    std::optional<pid_t> respawned;
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::string shown = printed(kept.label);
            const std::optional<pid_t> pid = pidOf(shown);
            if (has(shown, "\tstate = not running\n")) {
                sawStopped = true;
                EXPECT_FALSE(pid) << shown;
            }
            if (pid && *pid != *keptPid)
                respawned = pid;
            return respawned.has_value();
        },
        20s));
    EXPECT_GE(std::chrono::steady_clock::now() - before, 3s) << "restarted within the throttle interval";
    EXPECT_TRUE(sawStopped);
    EXPECT_TRUE(isLive(*respawned));
    EXPECT_TRUE(has(printed(kept.label), "\truns = 2\n"));

    std::string shown;
    EXPECT_TRUE(waitUntil([&] { return has(shown = printed(plain.label), "\tlast exit code = 9\n"); }, 10s))
        << shown;
    EXPECT_TRUE(has(shown, "\tstate = not running\n"));
    EXPECT_TRUE(has(shown, "\truns = 1\n"));
    EXPECT_FALSE(pidOf(shown));
}

TEST_F(LaunchctlTest, PrintThatRestartsTheJobStillClosesItsOutput) {
    setThrottle("0");
    Job job = agentJob("com.example.quern.respawn");
    job.keepAlive = true;
    ASSERT_EQ(bootstrap(job).status, 0);
    const std::optional<pid_t> first = pidOf(printed(job.label));
    ASSERT_TRUE(first);
    ASSERT_EQ(kill(*first, SIGKILL), 0);
    std::optional<pid_t> next;
    ASSERT_TRUE(waitUntil(
        [&] {
            // A monitor holding our pipe would keep the read end open until the deadline.
            const RunResult result = launchctl({"print", service(job.label)}, 5s);
            EXPECT_FALSE(result.timedOut);
            next = pidOf(result.out);
            return next && *next != *first;
        },
        15s));
    EXPECT_TRUE(isLive(*next));
}

TEST_F(LaunchctlTest, RecycledPidIsNeitherShownNorSignalled) {
    const Job job = agentJob("com.example.quern.recycled");
    ASSERT_EQ(bootstrap(job).status, 0);
    const std::optional<pid_t> agent = pidOf(printed(job.label));
    ASSERT_TRUE(agent);
    Child bystander(std::vector<std::string>{"/bin/sleep", "60"}, {});
    // Point the record at another process, as if the agent's pid had been reused.
    const std::string recordFile = state_.path() + "/" + job.label + ".job";
    std::optional<JobRecord> record = parseRecord(readFile(recordFile));
    ASSERT_TRUE(record);
    // Start times have a granularity of a clock tick, so state the mismatch rather than rely on timing.
    const std::string stat = readFile("/proc/" + std::to_string(bystander.pid()) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> field{std::istream_iterator<std::string>(fields), {}};
    ASSERT_GE(field.size(), 20U);
    record->pid = bystander.pid();
    record->startTicks = std::stoull(field[19]) - 1; // fields 3.., so [19] is field 22
    writeFile(recordFile, serializeRecord(*record));

    const std::string shown = printed(job.label);
    EXPECT_TRUE(has(shown, "\tstate = not running\n"));
    EXPECT_FALSE(pidOf(shown));
    EXPECT_EQ(launchctl({"bootout", service(job.label)}).status, 0);
    EXPECT_TRUE(isLive(bystander.pid()));
    kill(*agent, SIGKILL); // no longer reachable through launchctl
}

} // namespace
} // namespace quern::standins::testing
