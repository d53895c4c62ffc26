#include "app/ClientMain.h"

int main(int argc, char** argv) {
    return quern::runClient(argc, argv);
}
