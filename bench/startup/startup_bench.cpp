// Start-up and idle memory of the application against a minimal Qt Widgets
// program (one window, one table; bench_startup_reference), side by side in
// one run:
//   - fork to first window mapped, cold (the files both programs map evicted
//     from the page cache with vmtouch -e) and warm; the wall time and the
//     CPU time the program had used when its window mapped;
//   - resident memory and threads after 30 s of idling.
// Each run gets its own private session bus; all runs share one Xvfb
// screen, a private home (XDG variables) and a returning user's data: the
// application has been started once before (its first start shows the
// tour), so what is measured is the start a user meets every day. The
// service hosts point at a closed loopback port and the helper socket at
// nothing, so no run waits on a network or a helper.
//
// The map is seen as an X event: MapNotify of a top-level window (child of
// the root, not override-redirect), selected before the program starts.
//
// Usage: bench_startup [--runs N] [--memory-runs N] [--idle-seconds S]
//                      [--skip-cold] [--skip-memory] [--keep] [--app PATH]
// (--app: another build's executable, e.g. to compare two branches).
// Prints the table of ours, reference and ratio, and the machine's load
// before and after. Every process it starts it ends by its own PID.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "bench_startup: %s\n", what.c_str());
  std::exit(1);
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string loadAverage() {
  std::string text = readFile("/proc/loadavg");
  std::istringstream in(text);
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// ---- Child processes ----------------------------------------------------------------

struct Child {
  pid_t pid = -1;
};

// Starts argv with `env` (stdin from /dev/null, stdout and stderr to
// /dev/null unless `keepOutput`), keeping `inheritFd` open in the child.
Child spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            int inheritFd = -1, bool keepOutput = false) {
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) fail("fork failed");
  if (pid == 0) {
    ::setpgid(0, 0);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    if (!keepOutput) {
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != inheritFd) ::close(fd);
    }
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  return Child{pid};
}

// SIGTERM, then SIGKILL after 5 s; always reaped.
void stop(Child& child) {
  if (child.pid <= 0) return;
  ::kill(child.pid, SIGTERM);
  const auto deadline = Clock::now() + 5s;
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(child.pid, &status, WNOHANG) == child.pid) {
      child.pid = -1;
      return;
    }
    std::this_thread::sleep_for(5ms);
  }
  ::kill(child.pid, SIGKILL);
  ::waitpid(child.pid, nullptr, 0);
  child.pid = -1;
}

// One line the child writes to the pipe's write end (fd `writeFd` in it).
std::string readLineFrom(int readFd, std::chrono::milliseconds timeout) {
  std::string line;
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    pollfd p{readFd, POLLIN, 0};
    const int left =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (::poll(&p, 1, std::max(left, 1)) <= 0) continue;
    char c = 0;
    if (::read(readFd, &c, 1) != 1) break;
    if (c == '\n') return line;
    line.push_back(c);
  }
  return line;
}

// ---- The private desktop ----------------------------------------------------------------

struct Desktop {
  Child xvfb;
  std::string display;
  xcb_connection_t* connection = nullptr;
  xcb_window_t root = 0;
};

void startDesktop(Desktop& desktop) {
  int fds[2];
  if (::pipe(fds) != 0) fail("pipe failed");
  desktop.xvfb = spawn({"/usr/bin/Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                        "1280x800x24", "-nolisten", "tcp", "-noreset"},
                       {"PATH=/usr/bin:/bin"}, fds[1]);
  ::close(fds[1]);
  const std::string number = readLineFrom(fds[0], 20s);
  ::close(fds[0]);
  if (number.empty()) fail("Xvfb gave no display within 20 s");
  desktop.display = ":" + number;
  desktop.connection = xcb_connect(desktop.display.c_str(), nullptr);
  if (xcb_connection_has_error(desktop.connection)) fail("cannot open " + desktop.display);
  desktop.root = xcb_setup_roots_iterator(xcb_get_setup(desktop.connection)).data->root;
  const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(desktop.connection, desktop.root, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(desktop.connection);
}

// Drops what is queued (maps of earlier runs).
void drainEvents(Desktop& desktop) {
  while (xcb_generic_event_t* event = xcb_poll_for_event(desktop.connection)) std::free(event);
}

// The first top-level window mapped, or nothing within `timeout`.
std::optional<Clock::time_point> waitForMap(Desktop& desktop, std::chrono::seconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const int fd = xcb_get_file_descriptor(desktop.connection);
  while (Clock::now() < deadline) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(desktop.connection)) {
      const auto seen = Clock::now();
      const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY &&
                          reinterpret_cast<xcb_map_notify_event_t*>(event)->event == desktop.root &&
                          !reinterpret_cast<xcb_map_notify_event_t*>(event)->override_redirect;
      std::free(event);
      if (mapped) return seen;
    }
    if (xcb_connection_has_error(desktop.connection)) fail("the X connection broke");
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 20);
  }
  return std::nullopt;
}

struct Bus {
  Child daemon;
  std::string address;
};

Bus startBus(const fs::path& dir) {
  int fds[2];
  if (::pipe(fds) != 0) fail("pipe failed");
  Bus bus;
  bus.daemon = spawn({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                      "--address=unix:dir=" + dir.string(), "--print-address=" + std::to_string(fds[1])},
                     {"PATH=/usr/bin:/bin"}, fds[1]);
  ::close(fds[1]);
  bus.address = readLineFrom(fds[0], 10s);
  ::close(fds[0]);
  if (bus.address.empty()) fail("dbus-daemon gave no address within 10 s");
  return bus;
}

// ---- One program ------------------------------------------------------------------------

struct Program {
  std::string name;
  std::string exe;
  std::set<std::string> files;  // what it maps, for the cold runs
};

struct Home {
  fs::path dir;
  std::vector<std::string> env(const Desktop& desktop, const Bus& bus) const {
    return {"PATH=/usr/bin:/bin",
            "LANG=C.UTF-8",
            "HOME=" + dir.string(),
            "XDG_CONFIG_HOME=" + (dir / ".config").string(),
            "XDG_CACHE_HOME=" + (dir / ".cache").string(),
            "XDG_DATA_HOME=" + (dir / ".local/share").string(),
            "XDG_RUNTIME_DIR=" + (dir / "run").string(),
            "DISPLAY=" + desktop.display,
            "DBUS_SESSION_BUS_ADDRESS=" + bus.address,
            "QT_QPA_PLATFORM=xcb",
            // No service and no helper to wait for: a closed loopback port
            // and a socket path where nothing listens.
            "VANDREL_API_HOSTS=127.0.0.1:1",
            "VANDREL_HELPER_SOCKET=" + (dir / "no-helper.sock").string()};
  }
};

std::set<std::string> mappedFiles(pid_t pid) {
  std::set<std::string> files;
  std::istringstream maps(readFile("/proc/" + std::to_string(pid) + "/maps"));
  std::string line;
  while (std::getline(maps, line)) {
    const auto slash = line.find(" /");
    if (slash == std::string::npos) continue;
    std::string path = line.substr(slash + 1);
    if (path.rfind("/dev/", 0) == 0 || path.find(" (deleted)") != std::string::npos) continue;
    if (fs::is_regular_file(path)) files.insert(path);
  }
  return files;
}

// Milliseconds of CPU (user + system) the process has used.
double cpuMilliseconds(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream in(stat.substr(close + 2));
  std::string field;
  std::vector<std::string> fields;
  while (in >> field) fields.push_back(field);
  if (fields.size() < 13) return 0;
  // Fields 14 and 15 of stat (utime, stime), counted from the state field.
  const double ticks = std::stod(fields[11]) + std::stod(fields[12]);
  return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct StartResult {
  double wallMs = 0;
  double cpuMs = 0;
};

struct Runner {
  Desktop& desktop;
  Home& home;
  int counter = 0;

  fs::path busDir() { return home.dir / ("bus-" + std::to_string(counter++)); }

  // Starts the program, waits for its window, then `whileUp` with its PID,
  // and ends it.
  template <typename F>
  StartResult run(const Program& program, F whileUp) {
    const fs::path dir = busDir();
    fs::create_directories(dir);
    Bus bus = startBus(dir);
    drainEvents(desktop);
    const auto start = Clock::now();
    Child child = spawn({program.exe}, home.env(desktop, bus));
    const auto mapped = waitForMap(desktop, 30s);
    StartResult result;
    if (mapped) {
      result.cpuMs = cpuMilliseconds(child.pid);
      result.wallMs = std::chrono::duration<double, std::milli>(*mapped - start).count();
      whileUp(child.pid);
    }
    stop(child);
    stop(bus.daemon);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    if (!mapped) fail(program.name + ": no window mapped within 30 s");
    return result;
  }
};

void evict(const std::vector<const Program*>& programs) {
  std::vector<std::string> argv{"/usr/bin/vmtouch", "-q", "-e"};
  for (const Program* program : programs) {
    argv.insert(argv.end(), program->files.begin(), program->files.end());
  }
  Child child = spawn(argv, {"PATH=/usr/bin:/bin"});
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("vmtouch -e failed");
}

// The returning user: the application's first start (which puts up the
// tour and marks it shown) is over before anything is measured.
void primeFirstStart(Runner& runner, Program& ours) {
  runner.run(ours, [&](pid_t pid) {
    const auto deadline = Clock::now() + 10s;
    bool marked = false;
    while (!marked && Clock::now() < deadline) {
      for (const auto& entry :
           fs::recursive_directory_iterator(runner.home.dir / ".config", fs::directory_options::skip_permission_denied)) {
        if (entry.is_regular_file() && readFile(entry.path()).find("staticHadShowFeatureKey") != std::string::npos) {
          marked = true;
        }
      }
      if (!marked) std::this_thread::sleep_for(50ms);
    }
    if (!marked) fail("the first start never marked its tour shown");
    ours.files = mappedFiles(pid);
  });
}

// ---- Figures ----------------------------------------------------------------------------------

struct Series {
  std::vector<double> values;
  double median() const {
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : (n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2);
  }
  double min() const { return values.empty() ? 0 : *std::min_element(values.begin(), values.end()); }
  double max() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }
};

void printRow(const std::string& what, const Series& ours, const Series& reference, const char* unit) {
  const double ratio = reference.median() > 0 ? ours.median() / reference.median() : 0;
  std::printf("%-28s %9.1f %9.1f %7.2fx   (ours %.1f-%.1f, reference %.1f-%.1f %s, %zu runs)\n",
              what.c_str(), ours.median(), reference.median(), ratio, ours.min(), ours.max(),
              reference.min(), reference.max(), unit, ours.values.size());
}

struct Memory {
  double rssMb = 0, pssMb = 0, anonMb = 0;
  int threads = 0;
};

std::optional<long> statusField(const std::string& text, const std::string& key) {
  const auto at = text.find(key + ":");
  if (at == std::string::npos) return std::nullopt;
  return std::stol(text.substr(at + key.size() + 1));
}

Memory memoryOf(pid_t pid) {
  Memory m;
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::string status = readFile(proc + "/status");
  m.rssMb = statusField(status, "VmRSS").value_or(0) / 1024.0;
  m.anonMb = statusField(status, "RssAnon").value_or(0) / 1024.0;
  m.threads = static_cast<int>(statusField(status, "Threads").value_or(0));
  m.pssMb = statusField(readFile(proc + "/smaps_rollup"), "Pss").value_or(0) / 1024.0;
  return m;
}

struct Options {
  int runs = 10;
  int memoryRuns = 3;
  int idleSeconds = 30;
  bool cold = true;
  bool memory = true;
  bool keep = false;
  std::string app = VANDREL_APP_EXE;
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto number = [&]() {
      if (i + 1 >= argc) fail(arg + " needs a number");
      return std::atoi(argv[++i]);
    };
    if (arg == "--runs") o.runs = std::max(1, number());
    else if (arg == "--memory-runs") o.memoryRuns = std::max(1, number());
    else if (arg == "--idle-seconds") o.idleSeconds = std::max(1, number());
    else if (arg == "--skip-cold") o.cold = false;
    else if (arg == "--skip-memory") o.memory = false;
    else if (arg == "--keep") o.keep = true;
    else if (arg == "--app" && i + 1 < argc) o.app = argv[++i];
    else fail("unknown argument " + arg);
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);
  Program ours{"Vandrel", options.app, {}};
  Program reference{"reference", VANDREL_REFERENCE_EXE, {}};
  for (const Program* p : {&ours, &reference}) {
    if (::access(p->exe.c_str(), X_OK) != 0) fail(p->exe + " is not built");
  }
  std::string dir = (fs::temp_directory_path() / "vandrel-startup-bench-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) fail("mkdtemp failed");
  Home home{dir};
  for (const char* sub : {".config", ".cache", ".local/share", "run"}) fs::create_directories(home.dir / sub);
  fs::permissions(home.dir / "run", fs::perms::owner_all);

  Desktop desktop;
  startDesktop(desktop);
  Runner runner{desktop, home};
  const std::string loadBefore = loadAverage();
  std::printf("start-up of %s against %s\nload average before: %s (%u cores)\n", ours.exe.c_str(),
              reference.exe.c_str(), loadBefore.c_str(), std::thread::hardware_concurrency());
  std::fflush(stdout);

  primeFirstStart(runner, ours);
  runner.run(reference, [&](pid_t pid) { reference.files = mappedFiles(pid); });

  Series coldOurs, coldRef, coldCpuOurs, coldCpuRef, warmOurs, warmRef, warmCpuOurs, warmCpuRef;
  // Alternating, so drifts of the machine's load fall on both alike.
  auto measure = [&](bool cold, Series& wallOurs, Series& wallRef, Series& cpuOurs, Series& cpuRef) {
    for (int i = 0; i < options.runs; ++i) {
      for (Program* p : {&ours, &reference}) {
        if (cold) evict({&ours, &reference});
        const StartResult r = runner.run(*p, [](pid_t) {});
        (p == &ours ? wallOurs : wallRef).values.push_back(r.wallMs);
        (p == &ours ? cpuOurs : cpuRef).values.push_back(r.cpuMs);
      }
    }
  };
  if (options.cold) measure(true, coldOurs, coldRef, coldCpuOurs, coldCpuRef);
  // One start of each to warm the cache, not counted.
  runner.run(ours, [](pid_t) {});
  runner.run(reference, [](pid_t) {});
  measure(false, warmOurs, warmRef, warmCpuOurs, warmCpuRef);

  Series rssOurs, rssRef, pssOurs, pssRef, anonOurs, anonRef, threadsOurs, threadsRef;
  if (options.memory) {
    // One after the other, each idle for idleSeconds after its map.
    for (int i = 0; i < options.memoryRuns; ++i) {
      Memory mine, theirs;
      runner.run(ours, [&](pid_t pid) {
        std::this_thread::sleep_for(std::chrono::seconds(options.idleSeconds));
        mine = memoryOf(pid);
      });
      runner.run(reference, [&](pid_t pid) {
        std::this_thread::sleep_for(std::chrono::seconds(options.idleSeconds));
        theirs = memoryOf(pid);
      });
      rssOurs.values.push_back(mine.rssMb);
      rssRef.values.push_back(theirs.rssMb);
      pssOurs.values.push_back(mine.pssMb);
      pssRef.values.push_back(theirs.pssMb);
      anonOurs.values.push_back(mine.anonMb);
      anonRef.values.push_back(theirs.anonMb);
      threadsOurs.values.push_back(mine.threads);
      threadsRef.values.push_back(theirs.threads);
    }
  }

  std::printf("\n%-28s %9s %9s %8s\n", "median", "ours", "reference", "ratio");
  if (options.cold) {
    printRow("cold: fork to map (ms)", coldOurs, coldRef, "ms");
    printRow("cold: CPU until map (ms)", coldCpuOurs, coldCpuRef, "ms");
  }
  printRow("warm: fork to map (ms)", warmOurs, warmRef, "ms");
  printRow("warm: CPU until map (ms)", warmCpuOurs, warmCpuRef, "ms");
  if (options.memory) {
    const std::string after = " after " + std::to_string(options.idleSeconds) + " s";
    printRow("idle RSS (MB)" + after, rssOurs, rssRef, "MB");
    printRow("idle PSS (MB)" + after, pssOurs, pssRef, "MB");
    printRow("idle anonymous (MB)" + after, anonOurs, anonRef, "MB");
    printRow("threads" + after, threadsOurs, threadsRef, "");
  }
  std::printf("load average after: %s\n", loadAverage().c_str());

  xcb_disconnect(desktop.connection);
  stop(desktop.xvfb);
  if (!options.keep) {
    std::error_code ignored;
    fs::remove_all(home.dir, ignored);
  } else {
    std::printf("home kept: %s\n", home.dir.c_str());
  }
  return 0;
}
