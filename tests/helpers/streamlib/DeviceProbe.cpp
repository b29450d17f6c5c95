// Looks a device up the way a helper does at start: prints its id, or ends the way a helper ends.
#include <cstdio>

#include "TidewellStream/TidewellHelperDevices.h"

int main(int argc, char** argv) {
    std::printf("device %u\n", static_cast<unsigned>(FindDeviceByUID(argc > 1 ? argv[1] : "")));
    return 0;
}
