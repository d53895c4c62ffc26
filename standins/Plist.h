#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quern::standins {

// The part of a launchd job definition that the stand-in acts on.
struct JobDefinition {
    std::string label;
    std::string program; // empty: arguments[0] is looked up on PATH
    std::vector<std::string> arguments;
    bool keepAlive = false;
    std::string standardOutPath; // empty: /dev/null
    std::string standardErrorPath;

    friend bool operator==(const JobDefinition&, const JobDefinition&) = default;
};

enum class PlistError {
    None,
    Malformed,      // not XML, not a plist, or not a dictionary at the top
    MissingLabel,   // no usable Label
    MissingProgram, // neither Program nor a non-empty ProgramArguments of strings
};

struct PlistResult {
    PlistError error = PlistError::None;
    std::string detail; // human-readable reason when error != None
    JobDefinition definition;
};

// Parses an XML property list (as written by launchd users) into a job. Keys other than the
// ones in JobDefinition are accepted and ignored, whatever their type.
[[nodiscard]] PlistResult parseJobPlist(std::string_view xml);

// Labels become file names in the state directory, so anything that could escape it or hide
// (slashes, a leading dot, control characters) is refused.
[[nodiscard]] bool isUsableLabel(std::string_view label);

} // namespace quern::standins
