#pragma once
// What the process tap's start-up asks the audio server about devices and processes: the
// default outputs, device UIDs, the candidates for the aggregate's clock, and the process objects
// behind process ids.

#include <AudioClient/AudioHardware.h>

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "TapClock.h"
#include "TapExclusions.h"

AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal);

// The system's default system output and default output device; kAudioObjectUnknown after the
// failed read's status line.
AudioObjectID DefaultSystemOutputDevice();
AudioObjectID DefaultOutputDevice();

// The device's UID; nullopt after the failed read's status line.
std::optional<std::string> CopyDeviceUID(AudioObjectID device);

// A known device that may clock the tap's aggregate (see TapClock.h).
bool IsUsableClock(AudioObjectID device);
// The first physical output device that may clock the aggregate, built-in first; kAudioObjectUnknown
// when none.
AudioObjectID FirstPhysicalOutput();

// The audio server's process object of a process id; kAudioObjectUnknown after the failed
// read's status line.
AudioObjectID TranslatePIDToProcessObject(pid_t pid);
// The audio server's process objects with their process ids; empty when the list cannot be read.
std::vector<TidewellTapProcess> AudioProcesses();

// Starts and stops an IO procedure that plays nothing on the device, so that the audio server
// makes this process one of its process objects; failures are of no consequence (the translation
// then finds no object, as before).
void AnnounceAsAudioProcess(AudioObjectID device);
