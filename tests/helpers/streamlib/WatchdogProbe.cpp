// A stand-in helper that arms the shutdown watchdog and then hangs in the way its argument names:
//   sleep        the main thread just waits
//   stdout-full  the main thread is stuck writing to standard output (a pipe nobody reads)
//   stderr-full  the same on standard error, where the watchdog wants to report
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "TidewellStream/TidewellHelperRuntime.h"

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "sleep";
    std::printf("Stopped.\n");
    std::fflush(stdout);
    TidewellArmShutdownWatchdog(2);
    if (mode == "stdout-full" || mode == "stderr-full") {
        FILE* stream = mode == "stdout-full" ? stdout : stderr;
        const std::string line(4096, 'x');
        for (;;) {
            std::fputs(line.c_str(), stream);
            std::fflush(stream);
        }
    }
    for (;;) {
        pause();
    }
}
