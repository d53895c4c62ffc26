#include "app/AgentLocations.h"

#include <gtest/gtest.h>

namespace quern {
namespace {

TEST(AgentLocations, TargetsAndPathsAreFormedExactly) {
    EXPECT_EQ(domainTarget(501), "gui/501");
    EXPECT_EQ(domainTarget(4294967294U), "gui/4294967294"); // unsigned, never negative
    EXPECT_EQ(serviceTarget(501, kServiceLabel), "gui/501/" + std::string(kServiceLabel));
    struct Case {
        std::string base, component, expected;
    };
    const std::vector<Case> cases = {
        {"/Users/user/", "agent.log", "/Users/user/agent.log"},
        {"/", ".quern-web-bridge", "/.quern-web-bridge"},
        {"/home/Zoë Müller/私の家", "health.json", "/home/Zoë Müller/私の家/health.json"},
        {"/home/a b", launchAgentRelativePath(kServiceLabel),
         "/home/a b/Library/LaunchAgents/" + std::string(kServiceLabel) + ".plist"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(appendPathComponent(c.base, c.component), c.expected) << c.base;
}

} // namespace
} // namespace quern
