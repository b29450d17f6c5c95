// Telling a person that no audio server answers, and how to start one. The stand-in's own:
// a program of the system that finds no server (every call failing with
// kAudioHardwareNotRunningError) says so in these words, wherever it reports the failure.
#pragma once

#include <AudioABI/AudioABI.h>

#include <string>

// True when an audio server answers on the socket this process uses (one connection attempt).
bool AudioServerAnswers();

// True when `status` comes from there being no audio server: kAudioHardwareNotRunningError
// while no server answers. A server that answers but fails a call with that status on
// purpose (`audioctl fail`) is not missing.
bool AudioServerIsMissing(OSStatus status);

// "no audio server answers on <socket path>; start one with `audioctl start`"
std::string AudioServerMissingMessage();
