#pragma once

#include <string>
#include <vector>

namespace quern {

// A variable this process runs with a stand-in value of its own, while every program it starts (and
// a restart of itself) gets the value the process was started with: the session bus's "disabled:"
// keeps Qt's users inside the client off a silent bus, and must never reach a browser or a file
// manager. Main thread, before any other thread starts: setenv is not safe beside readers of the
// environment. The first call for a name keeps the original; later ones change only the stand-in.
void setForThisProcessOnly(const char* name, const char* standIn);

// This process's environment with every stand-in replaced by its original, as "NAME=value"
// entries; a variable that was unset at first is left out. Any thread.
[[nodiscard]] std::vector<std::string> childEnvironment();

// The entries as the NULL-terminated array exec and posix_spawn take; valid while they live.
[[nodiscard]] std::vector<char*> environmentPointers(std::vector<std::string>& entries);

} // namespace quern
