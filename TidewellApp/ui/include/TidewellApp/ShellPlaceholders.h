#pragma once
// Stand-ins for the contents the shell hosts until they exist: the onboarding sheet and the
// uninstall window.

#include <QWidget>
#include <functional>

namespace tidewell {

// Offers one button that closes the sheet, as the onboarding content does when it is done.
class OnboardingViewPlaceholder : public QWidget {
  Q_OBJECT
 public:
  explicit OnboardingViewPlaceholder(std::function<void()> close, QWidget* parent = nullptr);
};

class UninstallViewPlaceholder : public QWidget {
  Q_OBJECT
 public:
  explicit UninstallViewPlaceholder(QWidget* parent = nullptr);
};

}  // namespace tidewell
