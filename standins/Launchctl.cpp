// quern-launchctl: the subset of launchd's launchctl that Quern Zova uses (bootstrap, bootout,
// print of per-user agents), for systems without launchd. Each invocation reads and updates small
// record files under a per-user state directory (StateStore); a monitor process per running job
// records how the job ended (JobMonitor); JobLifecycle restarts and stops jobs. This file is the
// command line.
#include "platform/UniqueFd.h"
#include "standins/JobLifecycle.h"
#include "standins/JobMonitor.h"
#include "standins/JobRecord.h"
#include "standins/Plist.h"
#include "standins/StateStore.h"
#include "standins/WriteAll.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace quern::standins {
namespace {

// Exit codes as launchctl reports them.
constexpr int kUsageError = 64; // EX_USAGE
constexpr int kInvalidPlist = 109;
constexpr int kInvalidLabel = 110;
constexpr int kInvalidProgram = 111;
constexpr int kServiceNotFound = 113;

std::string errnoText(int error) {
    return std::to_string(error) + ": " + std::strerror(error);
}

int usage(int status) {
    constexpr std::string_view text =
        "Usage: quern-launchctl <subcommand> ...\n"
        "Subcommands:\n"
        "\tbootstrap gui/<uid> <plist-path>  Loads the job the property list describes and starts it.\n"
        "\tbootout gui/<uid>/<label>         Stops the job and unloads it.\n"
        "\tprint gui/<uid>/<label>           Describes a loaded job.\n"
        "State lives in $QUERN_LAUNCHD_DIR (default $XDG_RUNTIME_DIR/quern-launchd, else\n"
        "/tmp/quern-launchd-<uid>); $QUERN_LAUNCHD_THROTTLE overrides the 10 s KeepAlive throttle.\n";
    writeAll(status == 0 ? STDOUT_FILENO : STDERR_FILENO, text);
    return status;
}

// "gui/<uid>" or "gui/<uid>/<label>".
struct Target {
    uid_t uid = 0;
    std::string label;
};

[[nodiscard]] std::optional<Target> parseTarget(std::string_view text) {
    if (!text.starts_with("gui/"))
        return std::nullopt;
    text.remove_prefix(4);
    const std::size_t slash = text.find('/');
    const std::string_view digits = text.substr(0, slash);
    Target target;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), target.uid);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    if (slash != std::string_view::npos) {
        target.label = std::string(text.substr(slash + 1));
        if (target.label.empty())
            return std::nullopt;
    }
    return target;
}

std::string describe(const Target& target, const JobRecord& record, bool running) {
    const JobDefinition& definition = record.definition;
    std::string out = "gui/" + std::to_string(target.uid) + "/" + definition.label + " = {\n";
    out += running ? "\tactive count = 1\n" : "\tactive count = 0\n";
    out += "\tpath = " + record.plistPath + "\n";
    out += "\ttype = LaunchAgent\n";
    out += running ? "\tstate = running\n\n" : "\tstate = not running\n\n";
    out += "\tprogram = " + (definition.program.empty() ? definition.arguments.front() : definition.program) +
           "\n";
    out += "\targuments = {\n";
    for (const std::string& argument : definition.arguments)
        out += "\t\t" + argument + "\n";
    out += "\t}\n\n";
    if (!definition.standardOutPath.empty())
        out += "\tstdout path = " + definition.standardOutPath + "\n";
    if (!definition.standardErrorPath.empty())
        out += "\tstderr path = " + definition.standardErrorPath + "\n";
    if (definition.keepAlive)
        out += "\tproperties = keepalive\n";
    out += "\truns = " + std::to_string(record.runs) + "\n";
    if (running)
        out += "\tpid = " + std::to_string(record.pid) + "\n";
    switch (record.lastExit.kind) {
    case LastExit::Kind::Never:
        out += "\tlast exit code = (never exited)\n";
        break;
    case LastExit::Kind::Exited:
        out += "\tlast exit code = " + std::to_string(record.lastExit.code) + "\n";
        break;
    case LastExit::Kind::Signaled:
        out += "\tlast exit code = " + std::to_string(record.lastExit.code) + "\n";
        out += "\tlast terminating signal = " + std::string(::strsignal(record.lastExit.code)) + ": " +
               std::to_string(record.lastExit.code) + "\n";
        break;
    }
    out += "}\n";
    return out;
}

bool isOwnDomain(const Target& target, std::string_view failurePrefix) {
    if (target.uid == ::getuid())
        return true;
    complain(std::string(failurePrefix) + "1: Operation not permitted\ngui/" + std::to_string(target.uid) +
             " is not the caller's domain (gui/" + std::to_string(::getuid()) + ")\n");
    return false;
}

// What print and bootout both need: a service target in the caller's own domain, the state
// locked, and the service's record. Returns 0 with `service` filled, or the status to exit with.
struct LoadedService {
    Target target;
    std::string dir;
    UniqueFd lock;
    JobRecord record;
};
int openService(std::span<char* const> args, std::string_view domainFailure,
                const std::function<int(const Target&)>& notLoaded, LoadedService& service) {
    std::optional<Target> target = args.size() == 1 ? parseTarget(args[0]) : std::nullopt;
    if (!target || target->label.empty())
        return usage(kUsageError);
    if (!isOwnDomain(*target, domainFailure))
        return 1;
    if (!isUsableLabel(target->label))
        return notLoaded(*target);
    std::optional<std::string> dir = stateDirectory();
    if (!dir)
        return 1;
    service.lock = lockState(*dir);
    if (!service.lock.valid())
        return cannotLock(*dir);
    std::optional<JobRecord> record = readRecord(*dir, target->label);
    if (!record)
        return notLoaded(*target);
    service.target = std::move(*target);
    service.dir = std::move(*dir);
    service.record = std::move(*record);
    return 0;
}

int print(std::span<char* const> args) {
    LoadedService service;
    const int status = openService(
        args, "Bad request.\nPrint failed: ",
        [](const Target& target) {
            complain("Bad request.\nCould not find service \"" + target.label +
                     "\" in domain for user gui: " + std::to_string(target.uid) + "\n");
            return kServiceNotFound;
        },
        service);
    if (status != 0)
        return status;
    const bool running = reconcile(service.dir, service.record);
    writeAll(STDOUT_FILENO, describe(service.target, service.record, running));
    return 0;
}

int bootstrap(std::span<char* const> args) {
    const std::optional<Target> target = args.size() == 2 ? parseTarget(args[0]) : std::nullopt;
    if (!target || !target->label.empty())
        return usage(kUsageError);
    constexpr std::string_view kFailed = "Bootstrap failed: ";
    if (!isOwnDomain(*target, kFailed))
        return 1;
    std::string path = args[1];
    if (!path.starts_with('/'))
        path = currentDirectory() + "/" + path;
    const std::optional<std::string> xml = readSmallFile(path.c_str(), kMaxPlistBytes);
    if (!xml) {
        const int error = errno;
        complain(std::string(kFailed) + errnoText(error) + "\n" + path + ": cannot read the property list\n");
        return error;
    }
    PlistResult parsed = parseJobPlist(*xml);
    if (parsed.error != PlistError::None) {
        const auto [code, meaning] =
            parsed.error == PlistError::Malformed ? std::pair{kInvalidPlist, "Invalid property list"}
            : parsed.error == PlistError::MissingLabel
                ? std::pair{kInvalidLabel, "Invalid or missing service identifier"}
                : std::pair{kInvalidProgram, "Invalid or missing Program/ProgramArguments"};
        complain(std::string(kFailed) + std::to_string(code) + ": " + meaning + "\n" + path + ": " +
                 parsed.detail + "\n");
        return code;
    }

    const std::optional<std::string> dir = stateDirectory();
    if (!dir)
        return 1;
    const UniqueFd lock = lockState(*dir);
    if (!lock.valid())
        return cannotLock(*dir);
    if (std::optional<JobRecord> loaded = readRecord(*dir, parsed.definition.label)) {
        (void)reconcile(*dir, *loaded);
        complain(std::string(kFailed) + errnoText(EIO) + "\n");
        return EIO;
    }
    JobRecord record;
    record.definition = std::move(parsed.definition);
    record.plistPath = path;
    if (const int error = startJob(*dir, record); error != 0) {
        complain(std::string(kFailed) + errnoText(error) + "\ncould not start " +
                 (record.definition.program.empty() ? record.definition.arguments.front()
                                                    : record.definition.program) +
                 "\n");
        return error;
    }
    if (!writeRecord(*dir, record)) {
        const int error = errno;
        stopJob(record); // unrecorded, it could never be booted out
        complain(std::string(kFailed) + errnoText(error) + "\ncannot write to " + *dir + "\n");
        return error;
    }
    return 0;
}

int bootout(std::span<char* const> args) {
    constexpr std::string_view kFailed = "Boot-out failed: ";
    LoadedService service;
    const int status = openService(
        args, kFailed,
        [&](const Target&) {
            complain(std::string(kFailed) + errnoText(ESRCH) + "\n");
            return ESRCH;
        },
        service);
    if (status != 0)
        return status;
    stopJob(service.record);
    if (!removeRecord(service.dir, service.target.label)) {
        const int error = errno;
        complain(std::string(kFailed) + errnoText(error) + "\n");
        return error;
    }
    return 0;
}

} // namespace
} // namespace quern::standins

int main(int argc, char** argv) {
    using namespace quern::standins;
    const std::span<char* const> args(argv, static_cast<std::size_t>(std::max(argc, 1)));
    if (args.size() < 2)
        return usage(kUsageError);
    const std::string_view command = args[1];
    const std::span<char* const> rest = args.subspan(2);
    if (command == "print")
        return print(rest);
    if (command == "bootstrap")
        return bootstrap(rest);
    if (command == "bootout")
        return bootout(rest);
    if (command == "help")
        return usage(0);
    complain("Unrecognized subcommand: " + std::string(command) + "\n");
    return usage(kUsageError);
}
