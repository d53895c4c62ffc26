#include "app/ClientMain.h"
#include "app/CommandLine.h"
#if !defined(__APPLE__)
#include "app/SessionBusRecovery.h"
#endif

int main(int argc, char** argv) {
    // Before anything else: --help, --version and a wrong argument start nothing.
    if (const std::optional<int> status = quern::readCommandLine(argc, argv))
        return *status;
    const int status = quern::runClient(argc, argv);
#if !defined(__APPLE__)
    quern::restartIfTheSessionBusCameBack(); // returns only when no restart is due
#endif
    return status;
}
