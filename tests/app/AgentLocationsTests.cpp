#include "app/AgentLocations.h"

#include <gtest/gtest.h>

namespace quern {
namespace {

TEST(AgentLocations, PathsAreJoinedWithOneSlash) {
    struct Case {
        std::string base, component, expected;
    };
    const std::vector<Case> cases = {
        {"/Users/user/", "agent.log", "/Users/user/agent.log"},
        {"/", ".quern-web-bridge", "/.quern-web-bridge"},
        {"/home/Zoë Müller/私の家", "health.json", "/home/Zoë Müller/私の家/health.json"},
        {"/home/a b", "/Library/LaunchAgents/x.plist", "/home/a b/Library/LaunchAgents/x.plist"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(appendPathComponent(c.base, c.component), c.expected) << c.base;
}

} // namespace
} // namespace quern
