#include "platform/ChildEnvironment.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

extern char** environ;

namespace quern {
namespace {

std::mutex originalsLock;
std::map<std::string, std::optional<std::string>, std::less<>> originals; // by name; nullopt: unset

} // namespace

void setForThisProcessOnly(const char* name, const char* standIn) {
    {
        const std::scoped_lock lock(originalsLock);
        const char* original = std::getenv(name);
        originals.try_emplace(name, original ? std::optional<std::string>(original) : std::nullopt);
    }
    ::setenv(name, standIn, 1);
}

std::vector<std::string> childEnvironment() {
    const std::scoped_lock lock(originalsLock);
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (!originals.contains(text.substr(0, text.find('='))))
            entries.emplace_back(text);
    }
    for (const auto& [name, value] : originals) {
        if (value)
            entries.push_back(name + '=' + *value);
    }
    return entries;
}

std::vector<char*> environmentPointers(std::vector<std::string>& entries) {
    std::vector<char*> pointers;
    pointers.reserve(entries.size() + 1);
    for (std::string& entry : entries)
        pointers.push_back(entry.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace quern
