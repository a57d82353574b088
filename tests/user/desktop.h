#pragma once

// A desktop of the suite's own, as a user's session has one: a virtual X
// screen (Xvfb), a window manager (openbox), a tray (trayer) and a private
// session bus, every one a child process stopped by its PID. What cannot be
// reached over the accessibility bus is reached here: the X windows' state
// (mapped, frame), the tray icon's place, the pointer and keys (xdotool),
// and screenshots of the whole screen.

#include <sys/types.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vandrel::user_testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Checks `condition` until it holds or `timeout` passes; the failure says
// what was waited for. `tick` runs between checks (the accessibility
// client's events).
::testing::AssertionResult waitUntil(const std::function<bool()>& condition,
                                     std::chrono::milliseconds timeout, const std::string& what,
                                     const std::function<void()>& tick = {});

// A child process: argv (no shell), exactly the environment given, its
// output and errors appended to `log`. Stopped when the object goes:
// SIGTERM, then SIGKILL if it has not ended within 5 s; always reaped.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               const fs::path& log, int keepFd = -1);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // The exit status once it ended within `timeout` (-1 when a signal ended
  // it); none while it still runs.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  void stop();

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
  std::optional<int> status_;
};

// Runs argv to its end within `timeout` and returns its exit status.
std::optional<int> runToEnd(const std::vector<std::string>& argv,
                            const std::vector<std::string>& environment, const fs::path& log,
                            std::chrono::milliseconds timeout = 30s);

class Desktop {
 public:
  using Window = unsigned long;

  // Starts everything under `dir` (its own home, runtime and log files).
  static std::unique_ptr<Desktop> start(const fs::path& dir, std::string* failure);
  ~Desktop();

  const std::string& display() const { return display_; }
  const std::string& busAddress() const { return busAddress_; }
  // DISPLAY, the bus, the runtime directory and PATH: what every program
  // of the session gets, before its own home.
  std::vector<std::string> sessionEnvironment() const;

  void screenshot(const fs::path& file) const;

  // ---- Windows ---------------------------------------------------------------------
  // Top-level windows of programs whose WM_CLASS class is `windowClass`
  // and whose title is `title`, mapped or not.
  std::vector<Window> windows(const std::string& windowClass, const std::string& title) const;
  bool isMapped(Window window) const;
  // left, right, top, bottom of the frame the window manager drew round it.
  std::array<long, 4> frameExtents(Window window) const;
  // The tray icon of process `pid`: its window inside the tray, once shown
  // there (an icon of a copy that ended may linger for a moment).
  std::optional<Window> trayIcon(const std::string& windowClass, pid_t pid) const;
  // The window's place on the screen: x, y, width, height.
  std::array<int, 4> geometry(Window window) const;

  // ---- Pointer and keys ------------------------------------------------------------
  // Each returns whether xdotool did it (ended with status 0 in time); its
  // messages are in the desktop's "xdotool.log".
  [[nodiscard]] bool click(int x, int y, int button = 1) const;
  [[nodiscard]] bool movePointer(int x, int y) const;
  [[nodiscard]] bool key(const std::string& keys) const;
  // Types text into whatever has the keyboard focus.
  [[nodiscard]] bool type(const std::string& text) const;
  // Activates the window, then sends the key (e.g. "alt+F4").
  [[nodiscard]] bool keyToWindow(Window window, const std::string& keys) const;

  // ---- What a failed test keeps --------------------------------------------------
  // The window with the keyboard focus and the one the window manager
  // calls active, with their class and title.
  std::string focusReport() const;
  // Copies the logs of the desktop's programs (the screen, the window
  // manager, the tray, the bus, xdotool) into `directory`.
  void copyLogs(const fs::path& directory) const;

 private:
  Desktop() = default;
  bool startAll(const fs::path& dir, std::string* failure);
  bool xdotool(const std::vector<std::string>& args) const;

  fs::path dir_;
  std::string display_;
  std::string busAddress_;
  std::unique_ptr<ChildProcess> xvfb_, bus_, windowManager_, tray_;
  struct X;
  std::unique_ptr<X> x_;
};

}  // namespace vandrel::user_testing
