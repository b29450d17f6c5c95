// Connecting and deleting wires: structural edits saved at once, on top of any live edit still
// waiting for its pause.

#include "TidewellApp/TidewellAppModel.h"
#include "TidewellCore/ConfigEditor.h"

namespace tidewell {

namespace {

// Runs a wire edit on a copy of the configuration: refused, it sets `failed` and saves
// nothing; made, it saves with `done` and, once saved, restarts the helpers that play the
// routes. True only when the edit is in the file.
bool editWires(TidewellAppModel& model, const std::function<void(ConfigSnapshot&)>& edit,
               const QString& done, const QString& failed) {
  // A gain changed a moment ago is already playing but not yet saved: save it first, or the
  // edit would put the saved value back.
  model.flushLiveEdits();
  ConfigSnapshot edited = model.snapshot();
  try {
    edit(edited);
  } catch (const ConfigEditError&) {
    model.setStatusMessage(failed);
    return false;
  }
  // A refused save (invalid, unwritable, conflicting) has said why; nothing plays the edit.
  if (!model.saveEditedSnapshot(edited, done)) return false;
  model.restartRuntimeHelpersAfterRouteChange();
  return true;
}

}  // namespace

bool TidewellAppModel::connectWire(const std::string& deviceID, const WireEndpoint& from,
                                   const WireEndpoint& to) {
  return editWires(
      *this, [&](ConfigSnapshot& edited) { ConfigEditor::connectWire(deviceID, from, to, edited); },
      QStringLiteral("Connected wire"), QStringLiteral("Could not connect wire"));
}

bool TidewellAppModel::deleteWire(const std::string& deviceID, const std::string& wireID) {
  return editWires(
      *this, [&](ConfigSnapshot& edited) { ConfigEditor::deleteWire(deviceID, wireID, edited); },
      QStringLiteral("Deleted wire"), QStringLiteral("Could not delete wire"));
}

void TidewellAppModel::restartRuntimeHelpersAfterRouteChange() {
  HelperLauncher& launcher = *environment_.helperLauncher;
  launcher.restartMonitorIfRunning(*this, {});
  launcher.restartHardwareSourceIfRunning(*this, {});
  launcher.restartProcessTapIfRunning(*this, {});
}

}  // namespace tidewell
