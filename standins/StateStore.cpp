#include "standins/StateStore.h"

#include "standins/WriteAll.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quern::standins {
namespace {

std::string recordPath(const std::string& dir, std::string_view label) {
    return dir + "/" + std::string(label) + ".job";
}

} // namespace

std::optional<std::string> readSmallFile(const char* path, std::size_t limit) {
    const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid())
        return std::nullopt;
    std::string data;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (got == 0)
            return data;
        data.append(buffer, static_cast<std::size_t>(got));
        if (data.size() > limit) {
            errno = EFBIG;
            return std::nullopt;
        }
    }
}

std::string currentDirectory() {
    char cwd[4096];
    return ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
}

std::optional<std::string> stateDirectory() {
    std::string dir;
    if (const char* chosen = std::getenv("QUERN_LAUNCHD_DIR"); chosen != nullptr && *chosen != '\0')
        dir = chosen;
    else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != '\0')
        dir = std::string(runtime) + "/quern-launchd";
    else
        dir = "/tmp/quern-launchd-" + std::to_string(::getuid());
    if (!dir.starts_with('/')) // monitors run in "/", so they need it absolute
        dir = currentDirectory() + "/" + dir;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        complain("quern-launchctl: cannot create " + dir + ": " + std::strerror(errno) + "\n");
        return std::nullopt;
    }
    // Another user's directory (say a pre-created /tmp path) could feed us forged records.
    struct stat info {};
    if (::lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid() ||
        (info.st_mode & 022) != 0) {
        complain("quern-launchctl: refusing state directory " + dir +
                 ": not a directory of ours, or writable by others\n");
        return std::nullopt;
    }
    return dir;
}

UniqueFd lockState(const std::string& dir) {
    UniqueFd fd(::open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid())
        return fd;
    while (::flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return UniqueFd();
    }
    return fd;
}

int cannotLock(const std::string& dir) {
    complain("quern-launchctl: cannot lock " + dir + "/lock: " + std::strerror(errno) + "\n");
    return 1;
}

std::optional<JobRecord> readRecord(const std::string& dir, std::string_view label) {
    const std::optional<std::string> text = readSmallFile(recordPath(dir, label).c_str(), kMaxPlistBytes);
    if (!text)
        return std::nullopt;
    std::optional<JobRecord> record = parseRecord(*text);
    if (record && record->definition.label != label)
        return std::nullopt;
    return record;
}

bool writeRecord(const std::string& dir, const JobRecord& record) {
    const std::string finalPath = recordPath(dir, record.definition.label);
    const std::string tempPath =
        dir + "/." + record.definition.label + ".job." + std::to_string(::getpid()) + ".tmp";
    bool written = false;
    {
        const UniqueFd fd(
            ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd.valid())
            return false;
        written = writeAll(fd.get(), serializeRecord(record));
    }
    if (!written || ::rename(tempPath.c_str(), finalPath.c_str()) != 0) {
        const int error = errno;
        ::unlink(tempPath.c_str());
        errno = error;
        return false;
    }
    return true;
}

bool removeRecord(const std::string& dir, std::string_view label) {
    return ::unlink(recordPath(dir, label).c_str()) == 0;
}

} // namespace quern::standins
