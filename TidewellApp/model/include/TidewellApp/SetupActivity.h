#pragma once
// What changes the product's installation besides the service (whose install and removal the
// model guards with serviceActionRunning): the plug-in's install and the uninstall of the whole
// product. The two must never run at once, or one undoes the other while reporting success: a
// plug-in put back while the uninstall says it removed everything. So an uninstall waits until
// a running plug-in install has ended, and no plug-in install starts while an uninstall runs.
//
// One per process, on the main thread; the installer and the uninstaller report here.

#include <QObject>

namespace tidewell {

class SetupActivity final : public QObject {
  Q_OBJECT
 public:
  static SetupActivity& shared();

  bool driverInstallRunning() const { return driverInstalls_ > 0; }
  bool uninstallRunning() const { return uninstalls_ > 0; }

  void driverInstallStarted() { count(driverInstalls_, +1); }
  void driverInstallEnded() { count(driverInstalls_, -1); }
  void uninstallStarted() { count(uninstalls_, +1); }
  void uninstallEnded() { count(uninstalls_, -1); }

 signals:
  void changed();

 private:
  void count(int& running, int change);
  int driverInstalls_ = 0;
  int uninstalls_ = 0;
};

}  // namespace tidewell
