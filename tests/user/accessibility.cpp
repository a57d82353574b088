#include "tests/user/accessibility.h"

#include <atspi/atspi.h>

#include <thread>

#include "tests/user/desktop.h"

namespace vandrel::user_testing {
namespace {

// Errors of the bus (an element that went away meanwhile) read as "nothing".
struct ErrorSink {
  GError* error = nullptr;
  ~ErrorSink() {
    if (error != nullptr) g_error_free(error);
  }
  GError** operator&() { return &error; }
};

std::string takeText(gchar* text) {
  if (text == nullptr) return {};
  std::string value = text;
  g_free(text);
  return value;
}

Role roleOf(AtspiRole role) {
  switch (role) {
    case ATSPI_ROLE_APPLICATION: return Role::Application;
    case ATSPI_ROLE_FRAME: return Role::Frame;
    case ATSPI_ROLE_ALERT:
    case ATSPI_ROLE_DIALOG: return Role::Alert;
    case ATSPI_ROLE_PUSH_BUTTON: return Role::Button;
    case ATSPI_ROLE_CHECK_BOX: return Role::CheckBox;
    case ATSPI_ROLE_LABEL: return Role::Label;
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY: return Role::Text;
    case ATSPI_ROLE_PASSWORD_TEXT: return Role::PasswordText;
    case ATSPI_ROLE_MENU_ITEM: return Role::MenuItem;
    case ATSPI_ROLE_CHECK_MENU_ITEM: return Role::CheckMenuItem;
    case ATSPI_ROLE_FILLER: return Role::Filler;
    case ATSPI_ROLE_LIST: return Role::List;
    case ATSPI_ROLE_LIST_ITEM: return Role::ListItem;
    default: return Role::Any;
  }
}

bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
  AtspiStateSet* set = atspi_accessible_get_state_set(accessible);
  if (set == nullptr) return false;
  const bool has = atspi_state_set_contains(set, state);
  g_object_unref(set);
  return has;
}

bool matches(const Element& element, const Query& query) {
  if (query.role != Role::Any && element.role() != query.role) return false;
  if (query.name && element.name() != *query.name) return false;
  return true;
}

void collect(const Element& element, const Query& query, std::vector<Element>& found, int depth) {
  if (depth > 40) return;
  // A hidden branch hides everything in it.
  if (query.showingOnly && depth > 0 && !element.showing()) return;
  if (matches(element, query)) found.push_back(element);
  for (const Element& child : element.children()) collect(child, query, found, depth + 1);
}

}  // namespace

// ---- Element -----------------------------------------------------------------------

Element::Element(AtspiAccessible* accessible) : accessible_(accessible) {
  // Every read goes to the application, so what is read is what shows now.
  if (accessible_ != nullptr) atspi_accessible_set_cache_mask(accessible_, ATSPI_CACHE_NONE);
}

Element::Element(const Element& other) : accessible_(other.accessible_) {
  if (accessible_ != nullptr) g_object_ref(accessible_);
}

Element& Element::operator=(const Element& other) {
  if (this == &other) return *this;
  if (other.accessible_ != nullptr) g_object_ref(other.accessible_);
  if (accessible_ != nullptr) g_object_unref(accessible_);
  accessible_ = other.accessible_;
  return *this;
}

Element::~Element() {
  if (accessible_ != nullptr) g_object_unref(accessible_);
}

std::string Element::name() const {
  if (accessible_ == nullptr) return {};
  ErrorSink error;
  return takeText(atspi_accessible_get_name(accessible_, &error));
}

std::string Element::description() const {
  if (accessible_ == nullptr) return {};
  ErrorSink error;
  return takeText(atspi_accessible_get_description(accessible_, &error));
}

Role Element::role() const {
  if (accessible_ == nullptr) return Role::Any;
  ErrorSink error;
  return roleOf(atspi_accessible_get_role(accessible_, &error));
}

std::string Element::roleName() const {
  if (accessible_ == nullptr) return {};
  ErrorSink error;
  return takeText(atspi_accessible_get_role_name(accessible_, &error));
}

bool Element::showing() const {
  return accessible_ != nullptr && hasState(accessible_, ATSPI_STATE_SHOWING);
}

bool Element::checked() const {
  return accessible_ != nullptr && hasState(accessible_, ATSPI_STATE_CHECKED);
}

bool Element::enabled() const {
  return accessible_ != nullptr && hasState(accessible_, ATSPI_STATE_ENABLED);
}

std::array<int, 4> Element::extents() const {
  std::array<int, 4> box{0, 0, 0, 0};
  if (accessible_ == nullptr) return box;
  AtspiComponent* component = atspi_accessible_get_component_iface(accessible_);
  if (component == nullptr) return box;
  ErrorSink error;
  AtspiRect* rect = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, &error);
  if (rect != nullptr) {
    box = {rect->x, rect->y, rect->width, rect->height};
    g_free(rect);
  }
  g_object_unref(component);
  return box;
}

std::vector<Element> Element::children() const {
  std::vector<Element> list;
  if (accessible_ == nullptr) return list;
  ErrorSink error;
  const gint count = atspi_accessible_get_child_count(accessible_, &error);
  for (gint i = 0; i < count; ++i) {
    ErrorSink childError;
    AtspiAccessible* child = atspi_accessible_get_child_at_index(accessible_, i, &childError);
    if (child != nullptr) list.emplace_back(child);
  }
  return list;
}

Element Element::parent() const {
  if (accessible_ == nullptr) return {};
  ErrorSink error;
  return Element(atspi_accessible_get_parent(accessible_, &error));
}

pid_t Element::processId() const {
  if (accessible_ == nullptr) return -1;
  ErrorSink error;
  return static_cast<pid_t>(atspi_accessible_get_process_id(accessible_, &error));
}

bool Element::activate() const {
  if (accessible_ == nullptr) return false;
  AtspiAction* action = atspi_accessible_get_action_iface(accessible_);
  if (action == nullptr) return false;
  ErrorSink countError;
  const gint count = atspi_action_get_n_actions(action, &countError);
  gint chosen = count > 0 ? 0 : -1;
  for (gint i = 0; i < count; ++i) {
    ErrorSink nameError;
    const std::string name = takeText(atspi_action_get_action_name(action, i, &nameError));
    if (name == "Press" || name == "Toggle" || name == "press" || name == "click") {
      chosen = i;
      break;
    }
  }
  bool done = false;
  if (chosen >= 0) {
    ErrorSink error;
    done = atspi_action_do_action(action, chosen, &error);
  }
  g_object_unref(action);
  return done;
}

bool Element::setText(const std::string& text) const {
  if (accessible_ == nullptr) return false;
  AtspiEditableText* editable = atspi_accessible_get_editable_text_iface(accessible_);
  if (editable == nullptr) return false;
  ErrorSink error;
  const bool done = atspi_editable_text_set_text_contents(editable, text.c_str(), &error);
  g_object_unref(editable);
  return done;
}

bool Element::grabFocus() const {
  if (accessible_ == nullptr) return false;
  AtspiComponent* component = atspi_accessible_get_component_iface(accessible_);
  if (component == nullptr) return false;
  ErrorSink error;
  const bool done = atspi_component_grab_focus(component, &error);
  g_object_unref(component);
  return done;
}

// ---- FocusWatch ------------------------------------------------------------------

struct FocusWatch::State {
  AtspiEventListener* listener = nullptr;
  std::vector<Element> focused;

  static void heard(AtspiEvent* event, void* data) {
    auto* state = static_cast<State*>(data);
    if (event->detail1 != 0 && event->source != nullptr) {
      state->focused.emplace_back(static_cast<AtspiAccessible*>(g_object_ref(event->source)));
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
  }
};

FocusWatch::FocusWatch() : state_(std::make_unique<State>()) {
  state_->listener = atspi_event_listener_new(&State::heard, state_.get(), nullptr);
  ErrorSink error;
  atspi_event_listener_register(state_->listener, "object:state-changed:focused", &error);
}

FocusWatch::~FocusWatch() {
  ErrorSink error;
  atspi_event_listener_deregister(state_->listener, "object:state-changed:focused", &error);
  g_object_unref(state_->listener);
}

::testing::AssertionResult FocusWatch::waitForFocus(pid_t pid, Role role, Element& focused,
                                                    std::chrono::milliseconds timeout,
                                                    const std::string& what) {
  return waitUntil(
      [&] {
        for (const Element& element : state_->focused) {
          if (element.role() == role && element.processId() == pid) {
            focused = element;
            return true;
          }
        }
        return false;
      },
      timeout, what, [] { Accessibility::pump(); });
}

// ---- Accessibility ---------------------------------------------------------------

::testing::AssertionResult Accessibility::connect() {
  static const int result = atspi_init();
  // 0: connected now; 1: connected before.
  if (result == 0 || result == 1) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no accessibility bus (atspi_init: " << result << ")";
}

void Accessibility::pump() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

Element Accessibility::application(pid_t pid) {
  pump();
  AtspiAccessible* desktop = atspi_get_desktop(0);
  if (desktop == nullptr) return {};
  const Element root(desktop);
  for (const Element& app : root.children()) {
    if (app.processId() == pid) return app;
  }
  return {};
}

std::vector<Element> Accessibility::applications() {
  pump();
  AtspiAccessible* desktop = atspi_get_desktop(0);
  if (desktop == nullptr) return {};
  return Element(desktop).children();
}

std::vector<Element> Accessibility::findAll(const Element& root, const Query& query) {
  std::vector<Element> found;
  if (root) collect(root, query, found, 0);
  return found;
}

Element Accessibility::find(const Element& root, const Query& query) {
  std::vector<Element> found = findAll(root, query);
  return found.empty() ? Element() : found.front();
}

::testing::AssertionResult Accessibility::waitFor(const std::function<Element()>& find,
                                                  Element& found,
                                                  std::chrono::milliseconds timeout,
                                                  const std::string& what) {
  return waitUntil(
      [&] {
        found = find();
        return static_cast<bool>(found);
      },
      timeout, what, [] { pump(); });
}

}  // namespace vandrel::user_testing
