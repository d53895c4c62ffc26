// quern-bench-start: the client exactly as quern-zova runs it, ending on the first event-loop pass
// after its window first shows, with the first state on it. hyperfine times it from spawn to exit.
#include "app/ClientMain.h"

#include <unistd.h>

int main(int argc, char** argv) {
    return quern::runClient(argc, argv, [] { ::_exit(0); });
}
