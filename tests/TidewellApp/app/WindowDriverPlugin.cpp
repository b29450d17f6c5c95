// A test driver that a test loads into the unchanged Tidewell executable as a Qt generic
// plug-in (QT_PLUGIN_PATH + QT_QPA_GENERIC_PLUGINS=tidewellwindowdriver). It listens on the
// Unix socket named by TIDEWELL_WINDOW_DRIVER_SOCKET and answers one JSON request per line.
//
// It sees only what a user sees: visible widgets, found by their public properties (object
// name, accessible name, text, placeholder, tool tip, class), and it acts only through
// QTest input delivered to their windows, the way the window system delivers a user's clicks
// and keys (modality, popups and focus apply). It never calls into the application's code.
//
// Requests ({"op": ...}):
//   find        {select}            -> {count, text, enabled, checked, rect:[x,y,w,h], className}
//   click       {select, x}         left click in the widget's centre, or at pixel x of its
//                                   middle line
//   typeText    {select, text}      click into the widget, select all, type, press Return
//   menuBar     {title}             click a menu bar title ("&" mnemonics ignored)
//   menuItem    {text, prefix}      click an item of the open popup menu (its text, or with
//                                   "prefix": true, the start of its text)
//   key         {select, key}       press a key ("Home", "Right", ...) in the widget's window
//   clickMidpoint {from, to}        click halfway between two widgets' centres (a wire)
//   drag        {from, to}          press on `from`, move to `to`, release there
//   screenshot  {file}              repaint and save the whole X screen as a PNG
// Input runs after the answer, from the event loop, so that a menu's own event loop cannot
// hold the answer back; the test waits for the outcome it expects. A widget the user could not
// point at (scrolled away, outside the window) is refused, not clicked blindly.
//
// A selector is an object whose entries must all hold: "class" (QObject::inherits), "within"
// (an ancestor matches that selector), "containsText" (a descendant's text), "textMatches" (a
// regular expression the widget's text matches), "index" (the n-th match, top to bottom then
// left to right); any other key is a widget property compared as a string.

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QGenericPlugin>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <optional>
#include <thread>

namespace {

QString withoutMnemonic(QString text) {
  text.remove(QLatin1Char('&'));
  return text;
}

bool matches(QWidget* widget, const QJsonObject& selector);

bool containsText(QWidget* widget, const QString& text) {
  for (QWidget* child : widget->findChildren<QWidget*>()) {
    const QVariant value = child->property("text");
    if (child->isVisible() && value.isValid() && withoutMnemonic(value.toString()) == text) return true;
  }
  return false;
}

bool matches(QWidget* widget, const QJsonObject& selector) {
  for (auto it = selector.begin(); it != selector.end(); ++it) {
    const QString key = it.key();
    if (key == QLatin1String("index")) continue;
    if (key == QLatin1String("class")) {
      if (!widget->inherits(it.value().toString().toUtf8().constData())) return false;
    } else if (key == QLatin1String("within")) {
      bool found = false;
      for (QWidget* up = widget->parentWidget(); up && !found; up = up->parentWidget())
        found = matches(up, it.value().toObject());
      if (!found) return false;
    } else if (key == QLatin1String("containsText")) {
      if (!containsText(widget, it.value().toString())) return false;
    } else if (key == QLatin1String("textMatches")) {
      const QVariant value = widget->property("text");
      if (!value.isValid() || !QRegularExpression(it.value().toString()).match(value.toString()).hasMatch())
        return false;
    } else {
      const QVariant value = widget->property(key.toUtf8().constData());
      if (!value.isValid()) return false;
      const QString expected = it.value().isBool() ? (it.value().toBool() ? "true" : "false") : it.value().toString();
      if (withoutMnemonic(value.toString()) != expected) return false;
    }
  }
  return true;
}

// The visible widgets that match, top to bottom, then left to right on the screen.
QList<QWidget*> findAll(const QJsonObject& selector) {
  QList<QWidget*> found;
  for (QWidget* widget : QApplication::allWidgets())
    if (widget->isVisible() && matches(widget, selector)) found << widget;
  std::sort(found.begin(), found.end(), [](QWidget* a, QWidget* b) {
    const QPoint pa = a->mapToGlobal(QPoint()), pb = b->mapToGlobal(QPoint());
    return pa.y() != pb.y() ? pa.y() < pb.y() : pa.x() < pb.x();
  });
  return found;
}

QWidget* findOne(const QJsonObject& selector) {
  const QList<QWidget*> found = findAll(selector);
  const int index = selector.value("index").toInt(0);
  return index < found.size() ? found.at(index) : nullptr;
}

// Where a point of `widget` lies in its top-level window, and that window.
QWindow* windowOf(QWidget* widget, QPoint point, QPoint& inWindow) {
  QWidget* top = widget->window();
  inWindow = widget->mapTo(top, point);
  return top->windowHandle();
}

// Whether a user could point at `point` of `widget`: it shows there (not scrolled away or
// covered by its parents' edges) and the point lies inside the window.
bool reachable(QWidget* widget, QPoint point) {
  QPoint inWindow;
  windowOf(widget, point, inWindow);
  return widget->visibleRegion().contains(point) && widget->window()->rect().contains(inWindow);
}

void clickAt(QWidget* widget, QPoint point) {
  QPoint at;
  if (QWindow* window = windowOf(widget, point, at)) {
    QTest::mouseMove(window, at);
    QTest::mouseClick(window, Qt::LeftButton, {}, at);
  }
}

// Requests are read on a thread of the driver's own and handled on the main thread: a menu's
// event loop (a button's menu opens in one, inside the click) still runs queued calls, while the
// application's own socket notifiers do not reach the driver there.
class WindowDriver : public QObject {
 public:
  explicit WindowDriver(const QString& path) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = path.toLocal8Bit();
    std::strncpy(address.sun_path, name.constData(), sizeof address.sun_path - 1);
    ::unlink(address.sun_path);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0) {
      qWarning("window driver: cannot listen on %s", name.constData());
      return;
    }
    path_ = name;
    reader_ = std::thread([this] { readRequests(); });
  }
  ~WindowDriver() override {
    stopping_ = true;
    for (int fd : {listener_, client_.load()})
      if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    if (reader_.joinable()) reader_.join();
    for (int fd : {listener_, client_.load()})
      if (fd >= 0) ::close(fd);
    if (!path_.isEmpty()) ::unlink(path_.constData());
  }

 private:
  // The reading thread: one client at a time, one answer per request line.
  void readRequests() {
    while (!stopping_) {
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        if (errno == EINTR) continue;
        return;
      }
      client_ = client;
      std::string pending;
      char buffer[4096];
      for (ssize_t n; !stopping_ && (n = ::read(client, buffer, sizeof buffer)) > 0;) {
        pending.append(buffer, std::size_t(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
          const QJsonObject request = QJsonDocument::fromJson(QByteArray::fromStdString(pending.substr(0, end))).object();
          pending.erase(0, end + 1);
          const QByteArray answer = QJsonDocument(onMainThread(request)).toJson(QJsonDocument::Compact) + '\n';
          if (::send(client, answer.constData(), std::size_t(answer.size()), MSG_NOSIGNAL) != answer.size()) break;
        }
      }
      client_ = -1;
      ::close(client);
    }
  }

  // Hands the request to the main thread and waits for its answer. QTest lets events through
  // between the parts of one gesture; a request handled then would put its input in the middle
  // of the gesture, so it is offered again once the gesture is over.
  QJsonObject onMainThread(const QJsonObject& request) {
    for (;;) {
      auto answer = std::make_shared<std::promise<std::optional<QJsonObject>>>();
      auto result = answer->get_future();
      QMetaObject::invokeMethod(this, [this, request, answer] {
        answer->set_value(gestureUnderWay_ ? std::nullopt : std::optional(handle(request)));
      }, Qt::QueuedConnection);
      while (result.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
        if (stopping_) return failure("the application is ending");
      if (auto handled = result.get()) return *handled;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // Runs a gesture of several events (a drag, typing) with requests held back meanwhile.
  void gesture(std::function<void()> events) {
    later([this, events = std::move(events)] {
      gestureUnderWay_ = true;
      events();
      gestureUnderWay_ = false;
    });
  }

  // Runs `input` from the event loop once the answer is out, after any gesture under way.
  void later(std::function<void()> input) {
    QTimer::singleShot(0, this, [this, input = std::move(input)] {
      if (gestureUnderWay_) return later(input);
      input();
    });
  }

  static QJsonObject failure(const QString& why) { return {{"ok", false}, {"error", why}}; }

  // A click at `point` of `widget` (a menu's item, a menu bar's title), once the answer is out.
  QJsonObject clickLater(QWidget* widget, QPoint point) {
    later([target = QPointer<QWidget>(widget), point] {
      if (target) clickAt(target, point);
    });
    return {{"ok", true}};
  }

  QJsonObject handle(const QJsonObject& request) {
    const QString op = request.value("op").toString();
    if (op == QLatin1String("find")) return describe(request.value("select").toObject());
    if (op == QLatin1String("click")) {
      // Not a gesture: a click may open a menu whose own event loop runs until a later request
      // chooses from it.
      QWidget* widget = findOne(request.value("select").toObject());
      if (!widget) return failure("no such widget");
      QPoint point = widget->rect().center();
      if (request.contains("x")) point.setX(request.value("x").toInt());
      if (!reachable(widget, point)) return failure("the widget is not in sight");
      return clickLater(widget, point);
    }
    if (op == QLatin1String("typeText")) {
      QPointer<QWidget> widget = findOne(request.value("select").toObject());
      if (!widget) return failure("no such widget");
      if (!reachable(widget, widget->rect().center())) return failure("the widget is not in sight");
      const QString text = request.value("text").toString();
      gesture([widget, text] {
        if (!widget) return;
        clickAt(widget, widget->rect().center());
        QWindow* window = widget->window()->windowHandle();
        QTest::keyClick(window, Qt::Key_A, Qt::ControlModifier);
        for (const QChar c : text) QTest::keyClick(window, c.toLatin1());
        QTest::keyClick(window, Qt::Key_Return);
      });
      return {{"ok", true}};
    }
    if (op == QLatin1String("menuBar")) {
      const QString title = request.value("title").toString();
      if (auto* bar = qobject_cast<QMenuBar*>(findOne(QJsonObject{{"class", "QMenuBar"}}))) {
        for (QAction* action : bar->actions()) {
          if (withoutMnemonic(action->text()) != title) continue;
          return clickLater(bar, bar->actionGeometry(action).center());
        }
      }
      return failure("no menu bar title " + title);
    }
    if (op == QLatin1String("menuItem")) {
      const QString text = request.value("text").toString();
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (!menu) return failure("no open menu");
      for (QAction* action : menu->actions()) {
        const QString actionText = withoutMnemonic(action->text());
        const bool prefix = request.value("prefix").toBool();
        if (!action->isVisible() || (prefix ? !actionText.startsWith(text) : actionText != text)) continue;
        if (!action->isEnabled()) return failure("menu item disabled: " + text);
        return clickLater(menu, menu->actionGeometry(action).center());
      }
      return failure("no menu item " + text);
    }
    if (op == QLatin1String("key")) {
      QPointer<QWidget> widget = findOne(request.value("select").toObject());
      const QKeySequence sequence = QKeySequence::fromString(request.value("key").toString());
      if (!widget) return failure("no such widget");
      if (sequence.isEmpty()) return failure("no such key");
      const QKeyCombination combination = sequence[0];
      later([widget, combination] {
        if (widget) QTest::keyClick(widget->window()->windowHandle(), combination.key(), combination.keyboardModifiers());
      });
      return {{"ok", true}};
    }
    if (op == QLatin1String("clickMidpoint")) {
      QPointer<QWidget> from = findOne(request.value("from").toObject());
      QPointer<QWidget> to = findOne(request.value("to").toObject());
      if (!from || !to) return failure("no such widget");
      if (!reachable(from, from->rect().center()) || !reachable(to, to->rect().center()))
        return failure("a widget is not in sight");
      later([from, to] {
        if (!from || !to) return;
        const QPoint a = from->mapTo(from->window(), from->rect().center());
        const QPoint b = to->mapTo(from->window(), to->rect().center());
        clickAt(from->window(), (a + b) / 2);
      });
      return {{"ok", true}};
    }
    if (op == QLatin1String("drag")) {
      QPointer<QWidget> from = findOne(request.value("from").toObject());
      QPointer<QWidget> to = findOne(request.value("to").toObject());
      if (!from || !to) return failure(from ? "no drag target" : "no drag start");
      if (!reachable(from, from->rect().center()) || !reachable(to, to->rect().center()))
        return failure("a widget is not in sight");
      gesture([from, to] {
        if (!from || !to) return;
        QPoint start, end;
        QWindow* window = windowOf(from, from->rect().center(), start);
        end = to->mapTo(from->window(), to->rect().center());
        QTest::mouseMove(window, start);
        QTest::mousePress(window, Qt::LeftButton, {}, start);
        // A few steps on the way, as a hand would move.
        for (int step = 1; step <= 8; ++step) QTest::mouseMove(window, start + (end - start) * step / 8);
        QTest::mouseRelease(window, Qt::LeftButton, {}, end);
      });
      return {{"ok", true}};
    }
    if (op == QLatin1String("screenshot")) {
      for (QWidget* top : QApplication::topLevelWidgets())
        if (top->isVisible()) top->repaint();
      QCoreApplication::processEvents();
      QScreen* screen = QGuiApplication::primaryScreen();
      // Read back over the application's own X connection, after everything it drew.
      const QPixmap picture = screen ? screen->grabWindow(0) : QPixmap();
      if (picture.isNull() || !picture.save(request.value("file").toString(), "PNG"))
        return failure("could not save the screen");
      return {{"ok", true}};
    }
    return failure("unknown request " + op);
  }

  static QJsonObject describe(const QJsonObject& selector) {
    const QList<QWidget*> found = findAll(selector);
    QJsonObject answer{{"ok", true}, {"count", int(found.size())}};
    const int index = selector.value("index").toInt(0);
    if (index >= found.size()) return answer;
    QWidget* widget = found.at(index);
    const QRect rect(widget->mapToGlobal(QPoint()), widget->size());
    answer["text"] = withoutMnemonic(widget->property("text").toString());
    answer["enabled"] = widget->isEnabled();
    answer["checked"] = widget->property("checked").toBool();
    answer["className"] = QString::fromLatin1(widget->metaObject()->className());
    answer["rect"] = QJsonArray{rect.x(), rect.y(), rect.width(), rect.height()};
    return answer;
  }

  int listener_ = -1;
  std::atomic<int> client_{-1};
  std::atomic<bool> stopping_{false};
  QByteArray path_;
  std::thread reader_;
  bool gestureUnderWay_ = false;  // main thread only
};

}  // namespace

class WindowDriverPlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "WindowDriverPlugin.json")

 public:
  QObject* create(const QString&, const QString&) override {
    const QString path = qEnvironmentVariable("TIDEWELL_WINDOW_DRIVER_SOCKET");
    return path.isEmpty() ? nullptr : new WindowDriver(path);
  }
};

#include "WindowDriverPlugin.moc"
