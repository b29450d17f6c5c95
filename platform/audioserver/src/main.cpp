// audioserverd: the stand-in audio server. Serves clients on a Unix socket
// ($AUDIOSERVER_SOCKET, else $XDG_RUNTIME_DIR/audioserver/control).
#include "Server.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    std::string socketPath = audioproto::SocketPath();
    bool defaults = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--socket") && i + 1 < argc) {
            socketPath = argv[++i];
        } else if (!std::strcmp(argv[i], "--no-default-devices")) {
            defaults = false;
        } else {
            std::fprintf(stderr, "usage: audioserverd [--socket PATH] [--no-default-devices]\n");
            return 2;
        }
    }
    audioserver::Server server(socketPath, defaults);
    if (!server.listen()) return 1;
    std::fprintf(stderr, "audioserverd: serving on %s (pid %d)\n", socketPath.c_str(), getpid());
    server.run();
    // Connection threads may still be unwinding; leave without running static destructors
    // under them.
    std::fflush(nullptr);
    _exit(0);
}
