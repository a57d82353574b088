#pragma once

// The application's widgets as a user's assistive tools see them: the
// accessibility bus of the session (AT-SPI), read and pressed through
// libatspi. Nothing is cached: every question goes to the application.

#include <sys/types.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

typedef struct _AtspiAccessible AtspiAccessible;

namespace vandrel::user_testing {

enum class Role {
  Any,
  Application,
  Frame,
  Alert,
  Button,
  CheckBox,
  Label,
  Text,
  PasswordText,
  MenuItem,
  CheckMenuItem,
  Filler,
  List,
  ListItem,
};

// One element of an application's tree; holds its reference.
class Element {
 public:
  Element() = default;
  explicit Element(AtspiAccessible* accessible);  // takes the reference
  Element(const Element& other);
  Element& operator=(const Element& other);
  ~Element();

  explicit operator bool() const { return accessible_ != nullptr; }
  std::string name() const;
  std::string description() const;
  Role role() const;
  std::string roleName() const;
  // Shown on the screen now (mapped, inside its window's visible part).
  bool showing() const;
  bool checked() const;
  bool enabled() const;
  // x, y, width, height on the screen.
  std::array<int, 4> extents() const;
  std::vector<Element> children() const;
  Element parent() const;
  pid_t processId() const;

  // Runs the element's first action of the given names (press a button,
  // toggle a check box, open a menu item), else its first action.
  bool activate() const;
  bool setText(const std::string& text) const;
  bool grabFocus() const;

 private:
  AtspiAccessible* accessible_ = nullptr;
};

struct Query {
  Role role = Role::Any;
  std::optional<std::string> name;
  bool showingOnly = true;
};

// The elements that gain the keyboard focus, as the bus announces them
// (from the moment the watch is made). The only way to what the tree does
// not hold: a popup menu of the tray shows only through the focus of its
// items.
class FocusWatch {
 public:
  FocusWatch();
  ~FocusWatch();
  FocusWatch(const FocusWatch&) = delete;
  FocusWatch& operator=(const FocusWatch&) = delete;

  // Waits for an element of process `pid` in `role` to gain the focus.
  ::testing::AssertionResult waitForFocus(pid_t pid, Role role, Element& focused,
                                          std::chrono::milliseconds timeout,
                                          const std::string& what);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

class Accessibility {
 public:
  // Connects to the accessibility bus of the session in this process's
  // environment. Once per process.
  static ::testing::AssertionResult connect();

  // Lets the client library handle what the bus sent meanwhile.
  static void pump();

  // The application that process `pid` registered; none when it has not.
  static Element application(pid_t pid);
  // Every application on the bus.
  static std::vector<Element> applications();

  // Depth first, `root` included.
  static std::vector<Element> findAll(const Element& root, const Query& query);
  static Element find(const Element& root, const Query& query);

  // Waits until `find` finds the element, then returns it.
  static ::testing::AssertionResult waitFor(const std::function<Element()>& find, Element& found,
                                            std::chrono::milliseconds timeout,
                                            const std::string& what);
};

}  // namespace vandrel::user_testing
