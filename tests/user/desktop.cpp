#include "tests/user/desktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

namespace vandrel::user_testing {
namespace {

// Windows may vanish between a listing and a question about them: such
// errors are no failure of the program under test.
int ignoreXErrors(Display*, XErrorEvent*) { return 0; }

std::string readAll(int fd, std::chrono::milliseconds timeout, char end) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return text;
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return text;
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.find(end) != std::string::npos) return text;
  }
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

::testing::AssertionResult waitUntil(const std::function<bool()>& condition,
                                     std::chrono::milliseconds timeout, const std::string& what,
                                     const std::function<void()>& tick) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return ::testing::AssertionSuccess();
    if (std::chrono::steady_clock::now() >= deadline) break;
    if (tick) tick();
    // The next look, not a pause to let things settle: the condition is
    // checked again until the deadline.
    std::this_thread::sleep_for(20ms);
  }
  return ::testing::AssertionFailure() << "waited " << timeout.count() << " ms for " << what;
}

// ---- ChildProcess ------------------------------------------------------------------

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& environment, const fs::path& log,
                           int keepFd) {
  std::vector<char*> args, env;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  for (const auto& entry : environment) env.push_back(const_cast<char*>(entry.c_str()));
  args.push_back(nullptr);
  env.push_back(nullptr);
  const std::string logPath = log.string();
  pid_ = ::fork();
  if (pid_ == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    if (keepFd >= 0) {
      // Kept open across exec (without close-on-exec), everything else shut.
      ::dup2(keepFd, 3);
      ::close_range(4, ~0U, 0);
    } else {
      ::close_range(3, ~0U, 0);
    }
    ::execve(args[0], args.data(), env.data());
    ::_exit(127);
  }
  if (pid_ > 0) pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

ChildProcess::~ChildProcess() {
  stop();
  if (pidfd_ >= 0) ::close(pidfd_);
}

bool ChildProcess::running() { return !waitExit(0ms).has_value(); }

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  if (pid_ <= 0) return -1;
  if (pidfd_ >= 0) {
    pollfd pfd{pidfd_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  }
  int status = 0;
  const pid_t done = ::waitpid(pid_, &status, pidfd_ >= 0 ? 0 : WNOHANG);
  if (done != pid_) return std::nullopt;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return status_;
}

void ChildProcess::stop() {
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGTERM);
  if (!waitExit(5s)) {
    ::kill(pid_, SIGKILL);
    waitExit(10s);
  }
}

std::optional<int> runToEnd(const std::vector<std::string>& argv,
                            const std::vector<std::string>& environment, const fs::path& log,
                            std::chrono::milliseconds timeout) {
  ChildProcess child(argv, environment, log);
  return child.waitExit(timeout);
}

// ---- Desktop -------------------------------------------------------------------------

struct Desktop::X {
  Display* display = nullptr;
  ~X() {
    if (display != nullptr) XCloseDisplay(display);
  }

  std::string className(Window window) const {
    XClassHint hint{};
    if (XGetClassHint(display, window, &hint) == 0) return {};
    std::string name = hint.res_class != nullptr ? hint.res_class : "";
    if (hint.res_name != nullptr) XFree(hint.res_name);
    if (hint.res_class != nullptr) XFree(hint.res_class);
    return name;
  }

  std::string title(Window window) const {
    char* name = nullptr;
    if (XFetchName(display, window, &name) == 0 || name == nullptr) return {};
    std::string text = name;
    XFree(name);
    return text;
  }

  std::vector<Window> children(Window window) const {
    ::Window root = 0, parent = 0;
    ::Window* list = nullptr;
    unsigned count = 0;
    if (XQueryTree(display, window, &root, &parent, &list, &count) == 0) return {};
    std::vector<Window> result(list, list + count);
    if (list != nullptr) XFree(list);
    return result;
  }

  Window parentOf(Window window) const {
    ::Window root = 0, parent = 0;
    ::Window* list = nullptr;
    unsigned count = 0;
    if (XQueryTree(display, window, &root, &parent, &list, &count) == 0) return 0;
    if (list != nullptr) XFree(list);
    return parent == root ? 0 : parent;
  }

  // The first `count` 32-bit items (as longs, Xlib's way) of the window's
  // property `name` of type `type`; empty unless it has that many.
  std::vector<long> property(Window window, const char* name, Atom type, long count) const {
    Atom actualType = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<long> values;
    if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, count, False,
                           type, &actualType, &format, &items, &after, &data) == Success &&
        data != nullptr && items == static_cast<unsigned long>(count)) {
      const auto* longs = reinterpret_cast<const long*>(data);
      values.assign(longs, longs + count);
    }
    if (data != nullptr) XFree(data);
    return values;
  }

  void collect(Window window, const std::function<void(Window)>& visit) const {
    visit(window);
    for (Window child : children(window)) collect(child, visit);
  }
};

std::unique_ptr<Desktop> Desktop::start(const fs::path& dir, std::string* failure) {
  std::unique_ptr<Desktop> desktop(new Desktop);
  if (!desktop->startAll(dir, failure)) return nullptr;
  return desktop;
}

bool Desktop::startAll(const fs::path& dir, std::string* failure) {
  dir_ = dir;
  fs::create_directories(dir / "home");
  fs::create_directories(dir / "runtime");
  ::chmod((dir / "runtime").c_str(), 0700);

  // A display number drawn at random, not the lowest free one: screens of
  // tests in other process namespaces share /tmp/.X11-unix, and each takes
  // the other's lock file for a stale one (its process is not visible), so
  // two of them would both claim :0 and one would take the other's socket
  // path from under programs that reach it by path. Xvfb says the number
  // once it serves.
  std::random_device random;
  std::uniform_int_distribution<int> numbers(100, 29999);
  std::string number;
  int pipe[2];
  for (int attempt = 0; attempt < 10 && number.empty(); ++attempt) {
    const std::string wanted = std::to_string(numbers(random));
    std::error_code error;
    if (fs::exists("/tmp/.X" + wanted + "-lock", error) ||
        fs::exists("/tmp/.X11-unix/X" + wanted, error)) {
      continue;
    }
    if (::pipe2(pipe, 0) != 0) return *failure = "no pipe", false;
    xvfb_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/Xvfb", ":" + wanted, "-displayfd", "3", "-screen", "0",
                                 "1280x800x24", "-nolisten", "tcp", "-noreset"},
        std::vector<std::string>{"PATH=/usr/bin:/bin"}, dir / "xvfb.log", pipe[1]);
    ::close(pipe[1]);
    number = trimmed(readAll(pipe[0], 20s, '\n'));
    ::close(pipe[0]);
  }
  if (number.empty()) return *failure = "Xvfb gave no display within 20 s", false;
  display_ = ":" + number;

  auto* x = new X;
  x_.reset(x);
  XSetErrorHandler(ignoreXErrors);
  x->display = XOpenDisplay(display_.c_str());
  if (x->display == nullptr) return *failure = "cannot open display " + display_, false;

  if (::pipe2(pipe, 0) != 0) return *failure = "no pipe", false;
  bus_ =
      std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/bin/dbus-daemon", "--session",
                                                              "--nofork", "--print-address=3"},
                                     sessionEnvironment(), dir / "bus.log", pipe[1]);
  ::close(pipe[1]);
  busAddress_ = trimmed(readAll(pipe[0], 20s, '\n'));
  ::close(pipe[0]);
  if (busAddress_.empty()) return *failure = "the session bus gave no address within 20 s", false;

  std::vector<std::string> env = sessionEnvironment();
  env.push_back("HOME=" + (dir / "home").string());
  windowManager_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/bin/openbox", "--sm-disable"}, env, dir / "openbox.log");
  auto wmRuns = [&] {
    return !x->property(DefaultRootWindow(x->display), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW, 1)
                .empty();
  };
  if (!waitUntil(wmRuns, 20s, "the window manager")) {
    return *failure = "openbox did not come up within 20 s", false;
  }

  tray_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/bin/trayer", "--edge", "bottom", "--align", "right",
                               "--widthtype", "pixel", "--width", "160", "--heighttype", "pixel",
                               "--height", "32", "--SetDockType", "true"},
      env, dir / "trayer.log");
  const Atom traySelection = XInternAtom(x->display, "_NET_SYSTEM_TRAY_S0", False);
  if (!waitUntil([&] { return XGetSelectionOwner(x->display, traySelection) != None; }, 20s,
                 "the tray")) {
    return *failure = "the tray did not come up within 20 s", false;
  }
  return true;
}

Desktop::~Desktop() {
  tray_.reset();
  windowManager_.reset();
  x_.reset();
  bus_.reset();
  xvfb_.reset();
}

std::vector<std::string> Desktop::sessionEnvironment() const {
  std::vector<std::string> env = {
      "PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
      "XDG_RUNTIME_DIR=" + (dir_ / "runtime").string(),
      "LANG=C.UTF-8",
  };
  if (!display_.empty()) env.push_back("DISPLAY=" + display_);
  if (!busAddress_.empty()) env.push_back("DBUS_SESSION_BUS_ADDRESS=" + busAddress_);
  return env;
}

void Desktop::screenshot(const fs::path& file) const {
  runToEnd({"/usr/bin/import", "-display", display_, "-window", "root", file.string()},
           sessionEnvironment(), dir_ / "screenshots.log");
}

std::vector<Desktop::Window> Desktop::windows(const std::string& windowClass,
                                              const std::string& title) const {
  std::vector<Window> found;
  XSync(x_->display, False);
  x_->collect(DefaultRootWindow(x_->display), [&](Window window) {
    if (x_->className(window) == windowClass && x_->title(window) == title) {
      found.push_back(window);
    }
  });
  return found;
}

bool Desktop::isMapped(Window window) const {
  XWindowAttributes attributes{};
  if (XGetWindowAttributes(x_->display, window, &attributes) == 0) return false;
  return attributes.map_state == IsViewable;
}

std::array<long, 4> Desktop::frameExtents(Window window) const {
  std::array<long, 4> extents{0, 0, 0, 0};
  const std::vector<long> values = x_->property(window, "_NET_FRAME_EXTENTS", XA_CARDINAL, 4);
  std::copy(values.begin(), values.end(), extents.begin());
  return extents;
}

std::optional<Desktop::Window> Desktop::trayIcon(const std::string& windowClass, pid_t pid) const {
  std::optional<Window> icon;
  XSync(x_->display, False);
  auto pidOf = [&](Window window) -> long {
    const std::vector<long> value = x_->property(window, "_NET_WM_PID", XA_CARDINAL, 1);
    return value.empty() ? -1 : value.front();
  };
  x_->collect(DefaultRootWindow(x_->display), [&](Window window) {
    if (icon || x_->className(window) != windowClass || pidOf(window) != pid) return;
    if (!isMapped(window)) return;
    for (Window up = x_->parentOf(window); up != 0; up = x_->parentOf(up)) {
      if (x_->className(up) == "trayer" || x_->title(up) == "panel") {
        icon = window;
        return;
      }
    }
  });
  return icon;
}

std::array<int, 4> Desktop::geometry(Window window) const {
  XWindowAttributes attributes{};
  if (XGetWindowAttributes(x_->display, window, &attributes) == 0) return {0, 0, 0, 0};
  int x = 0, y = 0;
  ::Window child = 0;
  XTranslateCoordinates(x_->display, window, DefaultRootWindow(x_->display), 0, 0, &x, &y, &child);
  return {x, y, attributes.width, attributes.height};
}

bool Desktop::xdotool(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"/usr/bin/xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::optional<int> status = runToEnd(argv, sessionEnvironment(), dir_ / "xdotool.log");
  return status == 0;
}

bool Desktop::click(int x, int y, int button) const {
  return xdotool(
      {"mousemove", std::to_string(x), std::to_string(y), "click", std::to_string(button)});
}

bool Desktop::movePointer(int x, int y) const {
  return xdotool({"mousemove", std::to_string(x), std::to_string(y)});
}

bool Desktop::key(const std::string& keys) const {
  return xdotool({"key", "--clearmodifiers", keys});
}

bool Desktop::type(const std::string& text) const {
  return xdotool({"type", "--delay", "10", "--clearmodifiers", text});
}

bool Desktop::keyToWindow(Window window, const std::string& keys) const {
  // Three steps, not one chained xdotool command: chained after the
  // activation, the key is aimed at the window, and xdotool then types it
  // as a user does only when that window already holds the keyboard focus;
  // otherwise it sends the window a synthetic event, which neither the
  // window manager (alt+F4 is its binding) nor the toolkit acts on. The
  // window manager may call a window active a moment before the focus is
  // there, so the focus is waited for, and the key typed at whatever has it.
  if (!xdotool({"windowactivate", "--sync", std::to_string(window)})) return false;
  const bool focused = waitUntil(
      [&] {
        XSync(x_->display, False);
        ::Window focus = 0;
        int revert = 0;
        XGetInputFocus(x_->display, &focus, &revert);
        return focus == window;
      },
      10s, "the keyboard focus on the activated window");
  return focused && xdotool({"key", "--clearmodifiers", keys});
}

std::string Desktop::focusReport() const {
  auto describe = [&](Window window) {
    char id[32];
    std::snprintf(id, sizeof id, "0x%lx", window);
    return std::string(id) + " class \"" + x_->className(window) + "\" title \"" +
           x_->title(window) + "\"";
  };
  XSync(x_->display, False);
  ::Window focus = 0;
  int revert = 0;
  XGetInputFocus(x_->display, &focus, &revert);
  std::string report = "keyboard focus: " + describe(focus) + "\n";
  const std::vector<long> active =
      x_->property(DefaultRootWindow(x_->display), "_NET_ACTIVE_WINDOW", XA_WINDOW, 1);
  report +=
      "active window: " + describe(active.empty() ? 0 : static_cast<Window>(active.front())) + "\n";
  return report;
}

void Desktop::copyLogs(const fs::path& directory) const {
  std::error_code error;
  fs::create_directories(directory, error);
  for (const char* name : {"xvfb.log", "openbox.log", "trayer.log", "bus.log", "xdotool.log"}) {
    fs::copy_file(dir_ / name, directory / name, fs::copy_options::overwrite_existing, error);
  }
}

}  // namespace vandrel::user_testing
