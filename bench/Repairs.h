#pragma once

namespace quern::bench {

// The client runs as main() runs it, on its own 2 s timer, while a trial thread boots the agent
// out (unloaded) or silences it TRIALS times, at least SPACING seconds after the previous repair,
// and times the repair beside the client's next tick. BACKDATE (silent only) ages the health record
// to shorten the wait for staleness. Rows on standard output; 0 when every trial was repaired.
[[nodiscard]] int runRepairs(bool unloaded, int trials, double spacing, double backdate);

} // namespace quern::bench
