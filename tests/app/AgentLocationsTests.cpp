#include "app/AgentLocations.h"

#include <gtest/gtest.h>

#include <barrier>
#include <thread>
#include <vector>

namespace quern {
namespace {

TEST(AgentLocations, TargetsAreFormedFromTheUserIdAndLabel) {
    EXPECT_EQ(domainTarget(501), "gui/501");
    EXPECT_EQ(serviceTarget(501, kServiceLabel), std::string("gui/501/") + std::string(kServiceLabel));
    EXPECT_EQ(domainTarget(0), "gui/0");
    EXPECT_EQ(domainTarget(4294967294U), "gui/4294967294"); // unsigned, never negative
    EXPECT_TRUE(kServiceLabel.ends_with(".quern-bridge"));
    EXPECT_EQ(kServiceLabel.find_first_of(" /"), std::string_view::npos);
}

TEST(AgentLocations, PathsJoinWithExactlyOneSlashAndKeepEveryCharacter) {
    struct Case {
        std::string base, component, expected;
    };
    const std::vector<Case> cases = {
        {"/Users/user", ".quern-web-bridge", "/Users/user/.quern-web-bridge"},
        {"/Users/user/", "agent.log", "/Users/user/agent.log"},
        {"/", ".quern-web-bridge", "/.quern-web-bridge"},
        {"/home/Zoë Müller/私の家", "health.json", "/home/Zoë Müller/私の家/health.json"},
        {"/home/a b", launchAgentRelativePath(kServiceLabel),
         "/home/a b/Library/LaunchAgents/" + std::string(kServiceLabel) + ".plist"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(appendPathComponent(c.base, c.component), c.expected) << c.base;
}

TEST(AgentLocations, ComputedOnceFormsTheValueOnceEvenUnderConcurrentFirstUse) {
    for (int round = 0; round < 50; ++round) {
        ComputedOnce<std::string> value;
        std::atomic<int> formed{0};
        constexpr int kThreads = 8;
        std::barrier start(kThreads);
        std::vector<std::string> seen(kThreads);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                start.arrive_and_wait();
                seen[static_cast<size_t>(i)] = value.get([&] {
                    formed.fetch_add(1);
                    return std::string("/home/user/Library/LaunchAgents/") + std::string(kServiceLabel) +
                           ".plist";
                });
            });
        }
        for (std::thread& t : threads)
            t.join();
        EXPECT_EQ(formed.load(), 1);
        EXPECT_EQ(value.computations(), 1);
        for (const std::string& s : seen)
            EXPECT_EQ(s, seen.front());
        EXPECT_FALSE(seen.front().empty());
    }
}

} // namespace
} // namespace quern
