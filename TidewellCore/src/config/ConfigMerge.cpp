#include "TidewellCore/ConfigMerge.h"

#include <nlohmann/json.hpp>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "TidewellCore/ConfigJSON.h"

namespace tidewell::ConfigMerge {
namespace {

using nlohmann::json;

// A value in one of the three documents; null when the document has none there.
using Value = const json*;

struct Merged {
  bool conflict = false;
  bool present = false;
  json value;
};

Merged take(Value value) {
  Merged merged;
  if (value) {
    merged.present = true;
    merged.value = *value;
  }
  return merged;
}

Merged conflict() {
  Merged merged;
  merged.conflict = true;
  return merged;
}

bool same(Value a, Value b) { return a && b ? *a == *b : a == b; }

// A list of records that each carry a distinct text "id": the document's devices, sources,
// monitors and wires.
bool isKeyedList(const json& value) {
  if (!value.is_array()) return false;
  std::unordered_set<std::string> ids;
  for (const json& item : value) {
    if (!item.is_object()) return false;
    auto id = item.find("id");
    if (id == item.end() || !id->is_string()) return false;
    if (!ids.insert(id->get<std::string>()).second) return false;
  }
  return true;
}

std::unordered_map<std::string, const json*> byID(const json& list) {
  std::unordered_map<std::string, const json*> items;
  for (const json& item : list) items.emplace(item.at("id").get<std::string>(), &item);
  return items;
}

Value find(const std::unordered_map<std::string, const json*>& items, const std::string& id) {
  auto found = items.find(id);
  return found == items.end() ? nullptr : found->second;
}

Merged merge(Value base, Value mine, Value theirs);

Merged mergeObjects(const json& base, const json& mine, const json& theirs) {
  json result = json::object();
  std::vector<std::string> keys;
  for (const json* object : {&theirs, &mine, &base}) {
    for (auto it = object->begin(); it != object->end(); ++it) keys.push_back(it.key());
  }
  std::unordered_set<std::string> done;
  for (const std::string& key : keys) {
    if (!done.insert(key).second) continue;
    auto at = [&key](const json& object) -> Value {
      auto found = object.find(key);
      return found == object.end() ? nullptr : &*found;
    };
    Merged merged = merge(at(base), at(mine), at(theirs));
    if (merged.conflict) return merged;
    if (merged.present) result[key] = std::move(merged.value);
  }
  Merged merged;
  merged.present = true;
  merged.value = std::move(result);
  return merged;
}

Merged mergeLists(const json& base, const json& mine, const json& theirs) {
  const auto baseItems = byID(base);
  const auto mineItems = byID(mine);
  const auto theirItems = byID(theirs);
  std::vector<std::pair<std::string, json>> result;
  // The other writer's order, without what this edit removed.
  for (const json& item : theirs) {
    const std::string id = item.at("id").get<std::string>();
    Value mineItem = find(mineItems, id);
    Value baseItem = find(baseItems, id);
    if (!mineItem) {
      if (!baseItem) result.emplace_back(id, item);  // new from the other writer
      continue;                                      // removed by this edit
    }
    Merged merged = merge(baseItem, mineItem, &item);
    if (merged.conflict) return merged;
    result.emplace_back(id, std::move(merged.value));
  }
  // This edit's new items, each after the item it follows in the edit (first when none).
  std::string previous;
  for (const json& item : mine) {
    const std::string id = item.at("id").get<std::string>();
    if (!find(theirItems, id)) {
      if (Value baseItem = find(baseItems, id)) {
        // Removed by the other writer: fine unless this edit changed it.
        if (*baseItem != item) return conflict();
        continue;
      }
      auto position = result.begin();
      for (auto it = result.begin(); it != result.end(); ++it) {
        if (it->first == previous) position = it + 1;
      }
      result.insert(position, {id, item});
    }
    previous = id;
  }
  Merged merged;
  merged.present = true;
  merged.value = json::array();
  for (auto& [id, item] : result) merged.value.push_back(std::move(item));
  return merged;
}

Merged merge(Value base, Value mine, Value theirs) {
  if (same(mine, base)) return take(theirs);
  if (same(theirs, base) || same(mine, theirs)) return take(mine);
  // Both writers changed this value: look inside where both still have it.
  if (base && mine && theirs) {
    if (base->is_object() && mine->is_object() && theirs->is_object())
      return mergeObjects(*base, *mine, *theirs);
    if (isKeyedList(*base) && isKeyedList(*mine) && isKeyedList(*theirs))
      return mergeLists(*base, *mine, *theirs);
  }
  return take(mine);
}

json tree(const ConfigSnapshot& snapshot) {
  return json::parse(JSONEncoder::tidewell().encode(snapshot));
}

}  // namespace

std::optional<ConfigSnapshot> applyEdit(const ConfigSnapshot& base, const ConfigSnapshot& edited,
                                        const ConfigSnapshot& current) {
  const json baseTree = tree(base);
  const json editedTree = tree(edited);
  const json currentTree = tree(current);
  Merged merged = merge(&baseTree, &editedTree, &currentTree);
  if (merged.conflict || !merged.present) return std::nullopt;
  return JSONDecoder::tidewell().decode<ConfigSnapshot>(merged.value.dump());
}

}  // namespace tidewell::ConfigMerge
