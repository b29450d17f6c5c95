#pragma once
// What a system capture leaves out of its global tap. Tidewell's own helpers play into the
// virtual devices and to the speakers; capturing them would feed a device back into itself, so
// besides this helper's own process object and the one the service names, every audio-server
// process whose executable is one of the three helper programs is excluded.

#include <AudioABI/AudioTypes.h>

#include <sys/types.h>

#include <vector>

// One of the audio server's process objects with the process id it reports.
struct TidewellTapProcess {
    AudioObjectID object;
    pid_t pid;
};

// Decides whether a process runs one of the helper programs.
using TidewellHelperProcessTest = bool (*)(pid_t pid, void* context);

// The exclusion list in order: `own` and `excluded` when not 0, then the object of every
// process for which `isHelper` holds. No object appears twice and 0 never appears.
std::vector<AudioObjectID> TidewellTapSystemExclusions(AudioObjectID own, AudioObjectID excluded,
                                                       const std::vector<TidewellTapProcess>& processes,
                                                       TidewellHelperProcessTest isHelper, void* context);

// Whether `next` holds an object that `current` lacks: only then must the tap be replaced (a
// process that has gone stays in the list until then; replacing the tap for it alone would cost a
// gap in the capture).
bool TidewellTapExclusionsGrew(const std::vector<AudioObjectID>& current, const std::vector<AudioObjectID>& next);

// The list a replacement tap excludes: `next`, then each object of `current` that the audio
// server still lists among `processes` (a helper whose executable could not be read this time is
// still left out). Objects of processes that have gone are dropped, so the list does not grow
// with every helper restart.
std::vector<AudioObjectID> TidewellTapReplacementExclusions(const std::vector<AudioObjectID>& current,
                                                            const std::vector<AudioObjectID>& next,
                                                            const std::vector<TidewellTapProcess>& processes);

// Whether the executable of the process (its /proc/<pid>/exe link) is one of the helper
// programs; false for a process that is gone or whose link cannot be read.
bool TidewellIsHelperProcess(pid_t pid, void* context = nullptr);
