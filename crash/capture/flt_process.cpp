#include "crash/capture/flt_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "crash/capture/flt_allocator.h"
#include "crash/capture/flt_context.h"
#include "crash/capture/flt_host.h"
#include "crash/capture/flt_record_writer.h"
#include "crash/capture/flt_sdk_log.h"
#include "crash/capture/flt_utilities.h"
#include "crash/unwind/flt_unwind_cursor.h"

namespace vandrel::crash {
namespace {

// parkState of FLTProcessThread.
constexpr int kParkIdle = 0;
constexpr int kParkRequested = 1;
constexpr int kParkParked = 2;
constexpr int kParkLeft = 3;

// The C library's two internal signals (thread cancellation and set-id
// broadcast) are the first real-time signals; programs cannot block them.
constexpr int kFirstInternalSignal = __SIGRTMIN;

// A parked thread gives up waiting after this long, so a recorder that
// never returns does not hold the process forever.
constexpr std::int64_t kParkedMaxWaitMs = 30000;

// The process record the parking handler files registers into; null while
// no crash is being recorded.
std::atomic<FLTProcess*> gParkProcess{nullptr};
std::atomic<bool> gParkHandlerInstalled{false};
// Parking handlers running now: a record is unmapped only when none of them
// can still be reading it.
std::atomic<int> gParkHandlersRunning{0};
// The record FLTHandlerHoldingThreads left parked.
std::atomic<FLTProcess*> gHeldProcess{nullptr};

// The registers of the calling thread's own fault while it is in a fatal
// handler. Read in a signal handler: initial-exec, so reading it never
// allocates.
thread_local const ucontext_t* tlsFaultContext __attribute__((tls_model("initial-exec"))) = nullptr;

// Used when no scratch memory can be mapped: a record with room for a few
// threads, in static storage.
constexpr std::size_t kFallbackThreads = 64;
struct FallbackRecord {
  FLTProcess process;
  FLTProcessThread threads[kFallbackThreads];
};
FallbackRecord gFallbackRecord;

pid_t currentTid() noexcept { return static_cast<pid_t>(syscall(SYS_gettid)); }

std::int64_t nowMs() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void napMs(long ms) noexcept {
  timespec nap{0, ms * 1000000L};
  nanosleep(&nap, nullptr);
}

void parkHandler(int, siginfo_t*, void* context) noexcept {
  const int savedErrno = errno;
  gParkHandlersRunning.fetch_add(1);
  FLTProcess* process = gParkProcess.load();
  const pid_t tid = currentTid();
  FLTProcessThread* slot = nullptr;
  if (process != nullptr) {
    for (std::size_t i = 0; i < process->threadCount; ++i) {
      if (process->threads[i].tid == tid) slot = &process->threads[i];
    }
  }
  int expected = kParkRequested;
  if (slot != nullptr && slot->parkState.load() == kParkRequested) {
    // A thread held up in a fatal handler of its own reports where it
    // faulted, not where it waits.
    const ucontext_t* registers =
        tlsFaultContext != nullptr ? tlsFaultContext : static_cast<const ucontext_t*>(context);
    FLTMachineStateFromUContext(registers, &slot->state);
    if (slot->parkState.compare_exchange_strong(expected, kParkParked)) {
      const std::int64_t deadline = nowMs() + kParkedMaxWaitMs;
      while (!process->released.load() && nowMs() < deadline) napMs(1);
      slot->parkState.store(kParkLeft);
    }
  }
  gParkHandlersRunning.fetch_sub(1);
  errno = savedErrno;
}

bool installParkHandler() noexcept {
  if (gParkHandlerInstalled.load()) return true;
  struct sigaction action {};
  action.sa_sigaction = parkHandler;
  action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  // Stays installed: a request that arrives late (the thread had the signal
  // blocked) must find a handler that ignores it, not the default action.
  if (sigaction(FLTProcessThreadStateSignal(), &action, nullptr) != 0) return false;
  gParkHandlerInstalled.store(true);
  return true;
}

struct LinuxDirent64 {
  std::uint64_t ino;
  std::int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[1];
};

bool parseTid(const char* name, pid_t* tid) noexcept {
  if (*name == '\0') return false;
  std::int64_t value = 0;
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || value > 100000000) return false;
    value = value * 10 + (*c - '0');
  }
  *tid = static_cast<pid_t>(value);
  return value > 0;
}

bool countThread(pid_t, void* raw) noexcept {
  ++*static_cast<std::size_t*>(raw);
  return true;
}

bool addThread(pid_t tid, void* raw) noexcept {
  auto* process = static_cast<FLTProcess*>(raw);
  if (process->threadCount == process->capacity) return false;
  FLTProcessThread& thread = process->threads[process->threadCount++];
  thread.tid = tid;
  thread.parkState.store(kParkIdle);
  thread.blockedWhenAsked = false;
  return true;
}

void initRecord(FLTProcess* process, FLTProcessThread* threads, std::size_t capacity,
                std::size_t mappingSize, pid_t crashedThread,
                const ucontext_t* crashedState) noexcept {
  process->pid = getpid();
  process->currentThread = currentTid();
  process->crashedThread = crashedThread;
  process->crashedState = crashedState;
  process->threadCount = 0;
  process->capacity = capacity;
  process->threads = threads;
  process->mappingSize = mappingSize;
  process->released.store(false);
  process->parked = false;
}

std::size_t recordHeaderSize() noexcept {
  return (sizeof(FLTProcess) + alignof(FLTProcessThread) - 1) / alignof(FLTProcessThread) *
         alignof(FLTProcessThread);
}

// "/proc/self/task/<tid>/<leaf>" into `path` (at least 64 bytes).
void taskPath(pid_t tid, const char* leaf, char* path) noexcept {
  constexpr const char kPrefix[] = "/proc/self/task/";
  std::memcpy(path, kPrefix, sizeof(kPrefix) - 1);
  std::size_t at = sizeof(kPrefix) - 1;
  at += FLTFileFormatUint64(static_cast<std::uint64_t>(tid), 10, path + at);
  path[at++] = '/';
  const std::size_t length = std::strlen(leaf);
  std::memcpy(path + at, leaf, length + 1);
}

// The recording thread's own registers at this call: rip is the caller's
// return address, rbp and rsp the caller's frame.
__attribute__((noinline, optimize("no-omit-frame-pointer"))) void captureCurrentThread(
    FLTMachineState* state) noexcept {
  std::memset(state, 0, sizeof(*state));
  auto* frame = static_cast<std::uintptr_t*>(__builtin_frame_address(0));
  state->rip = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  state->rbp = frame[0];
  state->rsp = reinterpret_cast<std::uintptr_t>(frame) + 16;
}

bool isThread(const FLTProcess* process, std::size_t index, pid_t tid) noexcept {
  return index < process->threadCount && process->threads[index].tid == tid;
}

void writeRegisters(FLTFile* file, const FLTMachineState& s) noexcept {
  FLTFileWriteHashKey(file, "registers");
  FLTFileWriteHashStart(file);
  const struct {
    const char* name;
    std::uint64_t value;
  } registers[] = {{"rax", s.rax}, {"rbx", s.rbx}, {"rcx", s.rcx}, {"rdx", s.rdx},
                   {"rdi", s.rdi}, {"rsi", s.rsi}, {"rbp", s.rbp}, {"rsp", s.rsp},
                   {"r8", s.r8},   {"r9", s.r9},   {"r10", s.r10}, {"r11", s.r11},
                   {"r12", s.r12}, {"r13", s.r13}, {"r14", s.r14}, {"r15", s.r15},
                   {"rip", s.rip}, {"rflags", s.rflags}, {"cs", s.cs}, {"fs", s.fs},
                   {"gs", s.gs}};
  for (const auto& r : registers) FLTFileWriteHashEntryUint64(file, r.name, r.value);
  FLTFileWriteHashEnd(file);
}

// The stacktrace array of one thread with the recursion rule: after ten
// copies of a repeating pc the rest is counted, not written, and the SDK
// log is raised to WARN so per-frame lines do not flood it.
void writeStacktrace(FLTFile* file, FLTUnwindCursor* cursor, std::uintptr_t* repeatedPc,
                     std::uint32_t* repeatCount) noexcept {
  const int savedLevel = FLTSDKLogMinimumLevel();
  FLTFileWriteHashKey(file, "stacktrace");
  FLTFileWriteArrayStart(file);
  // The whole stack, up to the unwinder's own ceiling: the frames past a
  // recursion (main, the thread's start) say where it came from.
  while (FLTUnwindNextFrame(cursor)) {
    const std::uintptr_t pc = FLTUnwindCursorGetPC(cursor);
    const std::uint32_t repeats = FLTUnwindCursorGetRepeatCount(cursor);
    if (*repeatedPc != 0 && pc == *repeatedPc) {
      *repeatCount = repeats;
    } else if (*repeatedPc == 0 && repeats >= kFLTProcessRecursionLimit) {
      FLT_SDK_LOG_WARN("Possible infinite recursion - suppressing logging\n");
      FLTSDKLogSetMinimumLevel(kFLTSDKLogLevelWarn);
      *repeatedPc = pc;
      *repeatCount = repeats;
    } else {
      if (*repeatedPc != 0) FLTSDKLogSetMinimumLevel(savedLevel);
      FLTFileWriteArrayEntryUint64(file, pc);
    }
  }
  FLTFileWriteArrayEnd(file);
  FLTSDKLogSetMinimumLevel(savedLevel);
}

// Reads at most size-1 bytes of a small /proc file, NUL-terminated; the
// length read, or -1.
long readSmallFile(const char* path, char* buffer, std::size_t size) noexcept {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  std::size_t used = 0;
  while (used + 1 < size) {
    const ssize_t got = read(fd, buffer + used, size - 1 - used);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    used += static_cast<std::size_t>(got);
  }
  close(fd);
  buffer[used] = '\0';
  return static_cast<long>(used);
}

const char* parseUint(const char* text, std::uint64_t* value) noexcept {
  while (*text == ' ' || *text == '\t') ++text;
  if (*text < '0' || *text > '9') return nullptr;
  std::uint64_t result = 0;
  for (; *text >= '0' && *text <= '9'; ++text) result = result * 10 + static_cast<std::uint64_t>(*text - '0');
  *value = result;
  return text;
}

// The value in kB of the line "<key> <n> kB" of /proc/meminfo, in bytes.
bool meminfoBytes(const char* text, const char* key, std::uint64_t* bytes) noexcept {
  const std::size_t keyLength = std::strlen(key);
  for (const char* line = text; *line != '\0';) {
    if (std::strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
      std::uint64_t kb = 0;
      if (parseUint(line + keyLength + 1, &kb) == nullptr) return false;
      *bytes = kb * 1024;
      return true;
    }
    const char* next = std::strchr(line, '\n');
    if (next == nullptr) break;
    line = next + 1;
  }
  return false;
}

struct VmStatistics {
  std::uint64_t active, inactive, wired, free;
};

bool readVmStatistics(VmStatistics* vm) noexcept {
  char text[8192];
  if (readSmallFile("/proc/meminfo", text, sizeof(text)) <= 0) return false;
  return meminfoBytes(text, "Active", &vm->active) && meminfoBytes(text, "Inactive", &vm->inactive) &&
         meminfoBytes(text, "Unevictable", &vm->wired) && meminfoBytes(text, "MemFree", &vm->free);
}

struct TaskInfo {
  std::uint64_t virtualSize, residentSize, userTime, systemTime;
};

bool readTaskInfo(TaskInfo* task) noexcept {
  char text[256];
  if (readSmallFile("/proc/self/statm", text, sizeof(text)) <= 0) return false;
  std::uint64_t sizePages = 0;
  std::uint64_t residentPages = 0;
  const char* rest = parseUint(text, &sizePages);
  if (rest == nullptr || parseUint(rest, &residentPages) == nullptr) return false;
  const FLTReadOnlyContext* readOnly = FLTContextReadOnly();
  const std::uint64_t pageSize =
      readOnly != nullptr && readOnly->pageSize != 0 ? readOnly->pageSize : 4096;
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return false;
  task->virtualSize = sizePages * pageSize;
  task->residentSize = residentPages * pageSize;
  task->userTime = static_cast<std::uint64_t>(usage.ru_utime.tv_sec) * 1000000 +
                   static_cast<std::uint64_t>(usage.ru_utime.tv_usec);
  task->systemTime = static_cast<std::uint64_t>(usage.ru_stime.tv_sec) * 1000000 +
                     static_cast<std::uint64_t>(usage.ru_stime.tv_usec);
  return true;
}

}  // namespace

int FLTProcessThreadStateSignal() noexcept { return SIGRTMAX - 3; }

void FLTMachineStateFromUContext(const ucontext_t* context, FLTMachineState* state) noexcept {
  std::memset(state, 0, sizeof(*state));
  if (context == nullptr) return;
  const greg_t* g = context->uc_mcontext.gregs;
  auto u = [g](int index) { return static_cast<std::uint64_t>(g[index]); };
  *state = FLTMachineState{u(REG_RAX), u(REG_RBX), u(REG_RCX), u(REG_RDX), u(REG_RDI), u(REG_RSI),
                           u(REG_RBP), u(REG_RSP), u(REG_R8),  u(REG_R9),  u(REG_R10), u(REG_R11),
                           u(REG_R12), u(REG_R13), u(REG_R14), u(REG_R15), u(REG_RIP), u(REG_EFL),
                           u(REG_CSGSFS) & 0xffff, (u(REG_CSGSFS) >> 32) & 0xffff,
                           (u(REG_CSGSFS) >> 16) & 0xffff};
}

bool FLTProcessEnumerateThreadIds(bool (*visit)(pid_t tid, void* context), void* context) noexcept {
  const int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  alignas(8) char buffer[4096];
  bool ok = true;
  bool more = true;
  while (more) {
    const long length = syscall(SYS_getdents64, fd, buffer, sizeof(buffer));
    if (length < 0) ok = false;
    if (length <= 0) break;
    for (long offset = 0; offset < length && more;) {
      const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + offset);
      pid_t tid = 0;
      if (parseTid(entry->name, &tid)) more = visit(tid, context);
      offset += entry->reclen;
    }
  }
  close(fd);
  return ok;
}

bool FLTProcessThreadSignalMask(pid_t tid, std::uint64_t* mask) noexcept {
  char path[64];
  taskPath(tid, "status", path);
  char text[4096];
  if (readSmallFile(path, text, sizeof(text)) <= 0) return false;
  const char* field = std::strstr(text, "\nSigBlk:");
  if (field == nullptr) return false;
  field += std::strlen("\nSigBlk:");
  while (*field == ' ' || *field == '\t') ++field;
  std::uint64_t value = 0;
  int digits = 0;
  for (; digits < 16; ++digits, ++field) {
    const std::uint8_t digit = FLTHexDigitValue(*field);
    if (digit > 15) break;
    value = (value << 4) | digit;
  }
  if (digits == 0) return false;
  *mask = value;
  return true;
}

bool FLTProcessThreadBlocksSignal(pid_t tid, int signal) noexcept {
  std::uint64_t mask = 0;
  if (signal < 1 || signal > 64 || !FLTProcessThreadSignalMask(tid, &mask)) return false;
  return (mask & (std::uint64_t{1} << (signal - 1))) != 0;
}

void FLTProcessNoteFaultContext(const ucontext_t* context) noexcept { tlsFaultContext = context; }

FLTProcess* FLTProcessCreate(pid_t crashedThread, const ucontext_t* crashedState) noexcept {
  std::size_t count = 0;
  const bool listed = FLTProcessEnumerateThreadIds(countThread, &count);
  FLTProcess* process = nullptr;
  // Threads may start between counting and listing: room for some more, and
  // a larger table when even that is not enough.
  for (int attempt = 0; listed && attempt < 4; ++attempt) {
    const std::size_t capacity = count + count / 4 + 64;
    const std::size_t size = recordHeaderSize() + capacity * sizeof(FLTProcessThread);
    void* memory = FLTAllocatorMapCrashScratch(size);
    if (memory == nullptr) break;
    if (process != nullptr) FLTProcessDestroy(process);
    process = new (memory) FLTProcess;
    auto* threads =
        reinterpret_cast<FLTProcessThread*>(static_cast<char*>(memory) + recordHeaderSize());
    initRecord(process, threads, capacity, size, crashedThread, crashedState);
    if (FLTProcessEnumerateThreadIds(addThread, process)) return process;
    count = capacity * 2;
  }
  if (process == nullptr) {
    process = &gFallbackRecord.process;
    initRecord(process, gFallbackRecord.threads, kFallbackThreads, 0, crashedThread, crashedState);
    if (listed) FLTProcessEnumerateThreadIds(addThread, process);
  }
  if (!listed || process->threadCount == 0) {
    process->threadCount = 0;
    FLT_SDK_LOG_WARN("Error: unable to get task threads\n");
  } else if (process->threadCount == process->capacity) {
    FLT_SDK_LOG_WARN("Threads beyond %d are not recorded\n", static_cast<int>(process->capacity));
  }
  return process;
}

void FLTProcessDestroy(FLTProcess* process) noexcept {
  if (process == nullptr || process->mappingSize == 0) return;
  FLTAllocatorUnmapCrashScratch(process, process->mappingSize);
}

bool FLTProcessSuspendAllOtherThreads(FLTProcess* process) noexcept {
  if (process->threadCount <= 1) return true;
  if (!installParkHandler()) return false;
  process->released.store(false);
  gParkProcess.store(process);
  process->parked = true;
  const pid_t pid = getpid();
  for (std::size_t i = 0; i < process->threadCount; ++i) {
    FLTProcessThread& thread = process->threads[i];
    if (thread.tid == process->currentThread) continue;
    // A thread that blocks the signal is asked all the same (it answers if
    // it unblocks it soon) but not waited for as long. The C library holds
    // every signal for a moment of its own (raise, starting a thread) and
    // then blocks its internal ones too, which no program can: such a
    // thread is waited for as any other.
    std::uint64_t mask = 0;
    const std::uint64_t parkBit = std::uint64_t{1} << (FLTProcessThreadStateSignal() - 1);
    const std::uint64_t internalBits = std::uint64_t{3} << (kFirstInternalSignal - 1);
    thread.blockedWhenAsked = FLTProcessThreadSignalMask(thread.tid, &mask) &&
                              (mask & parkBit) != 0 && (mask & internalBits) != internalBits;
    thread.parkState.store(kParkRequested);
    if (syscall(SYS_tgkill, pid, thread.tid, FLTProcessThreadStateSignal()) != 0) {
      thread.parkState.store(kParkIdle);  // already gone
    }
  }
  const std::int64_t start = nowMs();
  for (;;) {
    const std::int64_t elapsed = nowMs() - start;
    bool waiting = false;
    for (std::size_t i = 0; i < process->threadCount && !waiting; ++i) {
      const FLTProcessThread& thread = process->threads[i];
      waiting = thread.parkState.load() == kParkRequested &&
                (!thread.blockedWhenAsked || elapsed < kFLTProcessBlockedGraceMs);
    }
    if (!waiting || elapsed >= kFLTProcessParkTimeoutMs) break;
    napMs(1);
  }
  // Threads that never answered lose their request, so a late signal is
  // ignored instead of parking them after the recording.
  bool allParked = true;
  for (std::size_t i = 0; i < process->threadCount; ++i) {
    FLTProcessThread& thread = process->threads[i];
    int expected = kParkRequested;
    if (!thread.parkState.compare_exchange_strong(expected, kParkIdle)) continue;
    allParked = false;
    if (thread.blockedWhenAsked) {
      FLT_SDK_LOG_WARN("Thread %d blocks the thread state signal\n", static_cast<int>(thread.tid));
    }
  }
  return allParked;
}

bool FLTProcessResumeAllOtherThreads(FLTProcess* process) noexcept {
  if (!process->parked) return true;
  gParkProcess.store(nullptr);
  process->released.store(true);
  // The parked threads still read this record until they leave the handler.
  const std::int64_t deadline = nowMs() + kFLTProcessParkTimeoutMs;
  for (;;) {
    bool waiting = false;
    for (std::size_t i = 0; i < process->threadCount; ++i) {
      waiting = waiting || process->threads[i].parkState.load() == kParkParked;
    }
    if (!waiting) {
      process->parked = false;
      return true;
    }
    if (nowMs() >= deadline) return false;
    napMs(1);
  }
}

bool FLTProcessGetThreadState(const FLTProcess* process, std::size_t index,
                              FLTMachineState* state) noexcept {
  if (state == nullptr) {
    FLT_SDK_LOG_ERROR("invalid context supplied");
    return false;
  }
  if (index >= process->threadCount) return false;
  const FLTProcessThread& thread = process->threads[index];
  if (thread.tid == process->crashedThread && process->crashedState != nullptr) {
    FLTMachineStateFromUContext(process->crashedState, state);
    return true;
  }
  if (thread.tid == process->currentThread) {
    FLT_SDK_LOG_WARN("Faking current thread\n");
    captureCurrentThread(state);
    return true;
  }
  if (thread.parkState.load() == kParkParked) {
    *state = thread.state;
    return true;
  }
  FLT_SDK_LOG_ERROR("failed to get thread state\n");
  return false;
}

void FLTProcessRecordAllThreads(FLTProcess* process, FLTFile* file) noexcept {
  FLTFileWriteSectionStart(file, "threads");
  FLTFileWriteArrayStart(file);
  for (std::size_t i = 0; i < process->threadCount; ++i) {
    FLT_SDK_LOG_INFO("recording thread %d data\n", static_cast<int>(i));
    FLTMachineState state;
    // A thread without registers is left out; the others still tell their
    // story (the crashed thread above all, whatever its place in the list).
    if (!FLTProcessGetThreadState(process, i, &state)) {
      FLT_SDK_LOG_ERROR("unable to get thread state");
      continue;
    }
    if (state.rip == 0) {
      FLT_SDK_LOG_WARN("unable to init unwind context\n");
      continue;
    }
    FLTUnwindCursor cursor;
    FLTUnwindCursorInit(&cursor, state);
    FLTFileWriteHashStart(file);
    writeRegisters(file, state);
    std::uintptr_t repeatedPc = 0;
    std::uint32_t repeatCount = 0;
    writeStacktrace(file, &cursor, &repeatedPc, &repeatCount);
    if (isThread(process, i, process->crashedThread)) FLTFileWriteHashEntryBoolean(file, "crashed", true);
    if (repeatedPc != 0) {
      FLTFileWriteHashEntryUint64(file, "repeated_pc", repeatedPc);
      FLTFileWriteHashEntryUint64(file, "repeat_count", repeatCount);
    }
    FLTFileWriteHashEnd(file);
  }
  FLTFileWriteArrayEnd(file);
  FLTFileWriteSectionEnd(file);
  FLT_SDK_LOG_INFO("completed recording all thread data\n");
}

void FLTProcessRecordRuntimeInfo(FLTProcess*, FLTFile* file) noexcept {
  // No message-sending runtime and no crash-info sections exist here: the
  // selector is always empty and the crash-info list empty, as for any crash
  // outside a message send.
  FLTFileWriteSectionStart(file, "runtime");
  FLTFileWriteHashStart(file);
  FLTFileWriteHashEntryString(file, "objc_selector", "");
  FLTFileWriteHashKey(file, "crash_info_entries");
  FLTFileWriteArrayStart(file);
  FLTFileWriteArrayEnd(file);
  FLTFileWriteHashEnd(file);
  FLTFileWriteSectionEnd(file);
}

void FLTProcessRecordDispatchQueueNames(FLTProcess* process, FLTFile* file) noexcept {
  // Threads carry no queue here; one empty entry each keeps the two name
  // arrays parallel to the thread list.
  FLTFileWriteSectionStart(file, "dispatch_queue_names");
  FLTFileWriteArrayStart(file);
  for (std::size_t i = 0; i < process->threadCount; ++i) FLTFileWriteArrayEntryString(file, "");
  FLTFileWriteArrayEnd(file);
  FLTFileWriteSectionEnd(file);
}

void FLTProcessRecordThreadNames(FLTProcess* process, FLTFile* file) noexcept {
  FLTFileWriteSectionStart(file, "thread_names");
  FLTFileWriteArrayStart(file);
  for (std::size_t i = 0; i < process->threadCount; ++i) {
    char path[64];
    taskPath(process->threads[i].tid, "comm", path);
    char name[64];
    const long length = readSmallFile(path, name, sizeof(name));
    if (length < 0) name[0] = '\0';
    // The name is the application's text and goes between quotes unescaped:
    // the newline ends it, and anything that would break the line becomes '_'.
    for (char* c = name; *c != '\0'; ++c) {
      const auto byte = static_cast<unsigned char>(*c);
      if (*c == '\n') {
        *c = '\0';
        break;
      }
      if (*c == '"' || *c == '\\' || byte < 0x20 || byte == 0x7f) *c = '_';
    }
    FLTFileWriteArrayEntryString(file, name);
  }
  FLTFileWriteArrayEnd(file);
  FLTFileWriteSectionEnd(file);
}

void FLTProcessRecordStats(FLTProcess*, FLTFile* file) noexcept {
  VmStatistics vm{};
  const bool haveVm = readVmStatistics(&vm);
  if (!haveVm) FLT_SDK_LOG_WARN("Failed to get vm statistics\n");
  TaskInfo task{};
  const bool haveTask = readTaskInfo(&task);
  if (!haveTask) FLT_SDK_LOG_WARN("Failed to get task info\n");
  if (!haveVm) {
    FLT_SDK_LOG_WARN("Unable to get process memory usage\n");
    return;
  }
  if (!haveTask) {
    FLT_SDK_LOG_WARN("Unable to get process stats\n");
    return;
  }
  FLTFileWriteSectionStart(file, "process_stats");
  FLTFileWriteHashStart(file);
  FLTFileWriteHashEntryUint64(file, "active", vm.active);
  FLTFileWriteHashEntryUint64(file, "inactive", vm.inactive);
  FLTFileWriteHashEntryUint64(file, "wired", vm.wired);
  FLTFileWriteHashEntryUint64(file, "freeMem", vm.free);
  FLTFileWriteHashEntryUint64(file, "free_mem", vm.free);
  FLTFileWriteHashEntryUint64(file, "virtual", task.virtualSize);
  FLTFileWriteHashEntryUint64(file, "resident", task.residentSize);
  FLTFileWriteHashEntryUint64(file, "user_time", task.userTime);
  FLTFileWriteHashEntryUint64(file, "sys_time", task.systemTime);
  FLTFileWriteHashEnd(file);
  FLTFileWriteSectionEnd(file);
}

namespace {

FLTProcess* recordSections(FLTFile* file, pid_t crashedThread,
                           const ucontext_t* crashedState) noexcept {
  FLTProcess* process = FLTProcessCreate(crashedThread, crashedState);
  if (!FLTProcessSuspendAllOtherThreads(process)) {
    FLT_SDK_LOG_WARN("unable to suspend all threads\n");
  }
  // With the others held, what the unwinder reads stands still.
  const bool session = FLTReadMemoryBeginSession();
  FLTProcessRecordAllThreads(process, file);
  FLTProcessRecordRuntimeInfo(process, file);
  FLTProcessRecordDispatchQueueNames(process, file);
  FLTProcessRecordThreadNames(process, file);
  FLTProcessRecordStats(process, file);
  FLTHostRecordStorage(file);
  if (session) FLTReadMemoryEndSession();
  return process;
}

void release(FLTProcess* process) noexcept {
  if (!FLTProcessResumeAllOtherThreads(process)) {
    // Threads still read the record: it stays mapped.
    FLT_SDK_LOG_WARN("unable to resume all threads\n");
    return;
  }
  // A request that arrived late may still be looking the record through.
  const std::int64_t deadline = nowMs() + kFLTProcessParkTimeoutMs;
  while (gParkHandlersRunning.load() > 0 && nowMs() < deadline) napMs(1);
  if (gParkHandlersRunning.load() == 0) FLTProcessDestroy(process);
}

void deliverCrashCallback() noexcept {
  const FLTReadOnlyContext* readOnly = FLTContextReadOnly();
  if (readOnly != nullptr && readOnly->crashCallbackDelegate != nullptr) {
    FLT_SDK_LOG_WARN("Performing syncrhonous crash callback - hold onto your butts\n");
    readOnly->crashCallbackDelegate->deliverCrashDelegateCallback();
  }
}

}  // namespace

void FLTHandler(FLTFile* file, pid_t crashedThread, const ucontext_t* crashedState) noexcept {
  release(recordSections(file, crashedThread, crashedState));
  deliverCrashCallback();
}

void FLTHandlerHoldingThreads(FLTFile* file, pid_t crashedThread,
                              const ucontext_t* crashedState) noexcept {
  FLTProcess* process = recordSections(file, crashedThread, crashedState);
  FLTProcessReleaseHeldThreads();
  gHeldProcess.store(process);
  deliverCrashCallback();
}

void FLTProcessReleaseHeldThreads() noexcept {
  if (FLTProcess* process = gHeldProcess.exchange(nullptr)) release(process);
}

}  // namespace vandrel::crash
