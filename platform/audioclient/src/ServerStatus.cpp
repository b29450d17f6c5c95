#include <AudioClient/AudioServerStatus.h>

#include <AudioProtocol/Protocol.h>

#include <unistd.h>

bool AudioServerAnswers() {
    int fd = audioproto::ConnectToServer(audioproto::SocketPath());
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool AudioServerIsMissing(OSStatus status) { return status == kAudioHardwareNotRunningError && !AudioServerAnswers(); }

std::string AudioServerMissingMessage() {
    return "no audio server answers on " + audioproto::SocketPath() + "; start one with `audioctl start`";
}
