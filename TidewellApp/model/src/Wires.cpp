// Connecting and deleting wires: structural edits saved at once, on top of any live edit still
// waiting for its pause.

#include "TidewellApp/TidewellAppModel.h"
#include "TidewellCore/ConfigEditor.h"

namespace tidewell {

bool TidewellAppModel::connectWire(const std::string& deviceID, const WireEndpoint& from,
                                   const WireEndpoint& to) {
  // A gain changed a moment ago is already playing but not yet saved: save it first, or the
  // edit below would put the saved value back.
  flushLiveEdits();
  ConfigSnapshot edited = snapshot();
  try {
    ConfigEditor::connectWire(deviceID, from, to, edited);
  } catch (const ConfigEditError&) {
    setStatusMessage(QStringLiteral("Could not connect wire"));
    return false;
  }
  saveEditedSnapshot(edited, QStringLiteral("Connected wire"));
  restartRuntimeHelpersAfterRouteChange();
  return true;
}

bool TidewellAppModel::deleteWire(const std::string& deviceID, const std::string& wireID) {
  flushLiveEdits();
  ConfigSnapshot edited = snapshot();
  try {
    ConfigEditor::deleteWire(deviceID, wireID, edited);
  } catch (const ConfigEditError&) {
    setStatusMessage(QStringLiteral("Could not delete wire"));
    return false;
  }
  saveEditedSnapshot(edited, QStringLiteral("Deleted wire"));
  restartRuntimeHelpersAfterRouteChange();
  return true;
}

void TidewellAppModel::restartRuntimeHelpersAfterRouteChange() {
  HelperLauncher& launcher = *environment_.helperLauncher;
  launcher.restartMonitorIfRunning(*this, {});
  launcher.restartHardwareSourceIfRunning(*this, {});
  launcher.restartProcessTapIfRunning(*this, {});
}

}  // namespace tidewell
