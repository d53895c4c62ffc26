#include "agent/SystemdUnit.h"

#include <gtest/gtest.h>

namespace quern {
namespace {

TEST(SystemdUnit, ObjectPathsAreEscapedAsSystemdEscapesThem) {
    EXPECT_EQ(systemdUnitPath("app.quernzova.quern-bridge.service"),
              "/org/freedesktop/systemd1/unit/app_2equernzova_2equern_2dbridge_2eservice");
    EXPECT_EQ(systemdUnitPath("2x_y@.service"), "/org/freedesktop/systemd1/unit/_32x_5fy_40_2eservice");
}

TEST(SystemdUnit, LoadedWhileTheFileIsLoadedAndTheUnitIsNotAtRest) {
    struct Row {
        const char* load;
        const char* active;
        bool loaded;
    };
    const std::vector<Row> rows = {
        {"loaded", "active", true},
        {"loaded", "activating", true}, // a Restart= delay too
        {"loaded", "deactivating", true},
        {"loaded", "inactive", false},
        {"loaded", "failed", false},
        {"not-found", "inactive", false},
        {"masked", "active", false}, // masked under a running agent
        {"", "", false},             // a manager that did not answer
    };
    for (const Row& row : rows)
        EXPECT_EQ(unitCountsAsLoaded(row.load, row.active), row.loaded) << row.load << " " << row.active;
}

} // namespace
} // namespace quern
