// audioserverd: the stand-in audio server. Serves clients on a Unix socket
// ($AUDIOSERVER_SOCKET, else $XDG_RUNTIME_DIR/audioserver/control).
#include "Server.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/file.h>
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
    // One server per socket: two started at once must not both take the path.
    for (size_t i = 1; i < socketPath.size(); ++i)
        if (socketPath[i] == '/') mkdir(socketPath.substr(0, i).c_str(), 0700);
    std::string lockPath = socketPath + ".lock";
    int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) {
        std::fprintf(stderr, "audioserverd: cannot open %s: %s\n", lockPath.c_str(), std::strerror(errno));
        return 1;
    }
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "audioserverd: another server runs or starts on %s\n", socketPath.c_str());
        return 1;
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
