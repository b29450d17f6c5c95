#include "TapExclusions.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "TidewellHelpers/TidewellHelperSettings.h"

namespace {

void AddOnce(std::vector<AudioObjectID>* list, AudioObjectID object) {
    if (object != 0 && std::find(list->begin(), list->end(), object) == list->end()) {
        list->push_back(object);
    }
}

}  // namespace

std::vector<AudioObjectID> TidewellTapSystemExclusions(AudioObjectID own, AudioObjectID excluded,
                                                       const std::vector<TidewellTapProcess>& processes,
                                                       TidewellHelperProcessTest isHelper, void* context) {
    std::vector<AudioObjectID> list;
    AddOnce(&list, own);
    AddOnce(&list, excluded);
    for (const TidewellTapProcess& process : processes) {
        if (process.object != 0 && process.pid > 0 && isHelper != nullptr && isHelper(process.pid, context)) {
            AddOnce(&list, process.object);
        }
    }
    return list;
}

bool TidewellTapExclusionsGrew(const std::vector<AudioObjectID>& current, const std::vector<AudioObjectID>& next) {
    for (AudioObjectID object : next) {
        if (std::find(current.begin(), current.end(), object) == current.end()) {
            return true;
        }
    }
    return false;
}

std::vector<AudioObjectID> TidewellTapReplacementExclusions(const std::vector<AudioObjectID>& current,
                                                            const std::vector<AudioObjectID>& next,
                                                            const std::vector<TidewellTapProcess>& processes) {
    std::vector<AudioObjectID> list;
    for (AudioObjectID object : next) {
        AddOnce(&list, object);
    }
    for (AudioObjectID object : current) {
        const bool listed = std::any_of(processes.begin(), processes.end(),
                                        [object](const TidewellTapProcess& process) { return process.object == object; });
        if (listed) {
            AddOnce(&list, object);
        }
    }
    return list;
}

bool TidewellIsHelperProcess(pid_t pid, void*) {
    if (pid <= 0) {
        return false;
    }
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
    char path[4096];
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length <= 0) {
        return false;
    }
    path[length] = '\0';
    return TidewellIsHelperExecutablePath(path);
}
