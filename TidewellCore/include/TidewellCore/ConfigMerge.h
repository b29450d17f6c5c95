#pragma once
// One edit carried over onto a configuration that another writer changed meanwhile: what the
// edit changed is applied on top of the other writer's document, and what only the other
// writer changed is kept.

#include <optional>

#include "TidewellCore/ConfigModel.h"

namespace tidewell::ConfigMerge {

// `edited` is `base` with one edit made; `current` is the file as it is now. The result is
// `current` with the edit's changes applied: a value the edit changed takes the edit's value
// (the edit is the later of the two), one it left alone keeps `current`'s. Devices, sources,
// monitors and wires are matched by id: the edit's new ones are added beside the item they
// follow, the ones it removed go, and the other writer's new ones stay. Nothing when the edit
// changed an item the other writer removed: that edit has nowhere to go.
// Throws EncodingError or DecodingError only for documents that have no JSON form.
std::optional<ConfigSnapshot> applyEdit(const ConfigSnapshot& base, const ConfigSnapshot& edited,
                                        const ConfigSnapshot& current);

}  // namespace tidewell::ConfigMerge
