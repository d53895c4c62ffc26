#pragma once

// quern-launchctl's state between invocations: one record file per loaded job under a per-user
// state directory, read and written under one lock.
#include "platform/UniqueFd.h"
#include "standins/JobRecord.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quern::standins {

inline constexpr std::size_t kMaxPlistBytes = 1 << 20;

// The whole file, or nullopt (errno set; EFBIG past the limit).
[[nodiscard]] std::optional<std::string> readSmallFile(const char* path, std::size_t limit);

[[nodiscard]] std::string currentDirectory();

// $QUERN_LAUNCHD_DIR, else $XDG_RUNTIME_DIR/quern-launchd, else /tmp/quern-launchd-<uid>; made
// absolute, created 0700, and refused unless it is our own directory. Complains on failure.
[[nodiscard]] std::optional<std::string> stateDirectory();

// Every invocation, and a monitor recording an exit, holds this for its whole read-modify-write.
[[nodiscard]] UniqueFd lockState(const std::string& dir);
// Complains that the lock could not be taken (errno); returns the exit status for it.
int cannotLock(const std::string& dir);

// The record of the job labelled `label`, or nullopt when there is none (or it is not about `label`).
[[nodiscard]] std::optional<JobRecord> readRecord(const std::string& dir, std::string_view label);
// Replaces the record atomically (a temporary file renamed over it). False with errno set on failure.
[[nodiscard]] bool writeRecord(const std::string& dir, const JobRecord& record);
// Unloads: removes the record. False with errno set on failure.
[[nodiscard]] bool removeRecord(const std::string& dir, std::string_view label);

} // namespace quern::standins
