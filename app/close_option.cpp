#include "app/close_option.h"

#include <atomic>

#include "platform/defaults.h"

namespace vandrel::app {
namespace {

std::atomic<std::uint8_t> gCloseOption{kCloseOptionAsk};

}  // namespace

std::uint8_t closeOption() { return gCloseOption.load(); }

void setCloseOption(std::uint8_t option) { gCloseOption.store(option); }

std::uint8_t readCloseOption(const platform::Defaults& defaults) {
  const auto stored = defaults.getInt(kCloseOptionKey);
  // Values above 2 read as 0 (negative ones too): the choice is asked again
  // rather than guessed.
  if (!stored || *stored < kCloseOptionAsk || *stored > kCloseOptionKeepRunning) {
    return kCloseOptionAsk;
  }
  return static_cast<std::uint8_t>(*stored);
}

void loadCloseOption(const platform::Defaults& defaults) {
  setCloseOption(readCloseOption(defaults));
}

void storeCloseOption(platform::Defaults& defaults) {
  defaults.set(kCloseOptionKey, static_cast<std::int64_t>(closeOption()));
  defaults.synchronize();
}

}  // namespace vandrel::app
