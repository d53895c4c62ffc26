// quern-bench-start: the client exactly as quern-zova runs it, plus one line on standard output
// ("ready") on the first event-loop pass after applicationDidFinishLaunching, which has by then put
// the first state in the window and shown it. The parent times its spawn to that line.
#include "app/ClientMain.h"

#include <unistd.h>

int main(int argc, char** argv) {
    return quern::runClient(argc, argv, [] { (void)::write(STDOUT_FILENO, "ready\n", 6); });
}
