// quern-bench-start: the client exactly as quern-zova runs it, ending on the first event-loop pass
// after applicationDidFinishLaunching, which has by then put the first state in the window and
// shown it. hyperfine times it from spawn to exit.
#include "app/ClientMain.h"

#include <unistd.h>

int main(int argc, char** argv) {
    return quern::runClient(argc, argv, [] { ::_exit(0); });
}
