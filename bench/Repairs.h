#pragma once

namespace quern::bench {

// The client runs as main() runs it, on its own 2 s timer, while a trial thread boots the agent
// out (or silences it) TRIALS times, SPACING seconds after the previous repair at the least, and
// times the repair against the client's next tick. Rows on standard output; 0 when every trial ended.
[[nodiscard]] int runRepairUnloaded(int trials, double spacing);
[[nodiscard]] int runRepairSilent(int trials, double spacing, double backdate);

} // namespace quern::bench
