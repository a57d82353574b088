#pragma once

#include <cstdint>
#include <string_view>

namespace vandrel::platform {
class Defaults;
}

namespace vandrel::app {

// What closing the main window does: ask the user, quit, or keep running in
// the tray. Kept across launches as an integer under
// "shouldTerminateAfterLastWindowClosed".
inline constexpr std::uint8_t kCloseOptionAsk = 0;
inline constexpr std::uint8_t kCloseOptionQuit = 1;
inline constexpr std::uint8_t kCloseOptionKeepRunning = 2;
inline constexpr std::string_view kCloseOptionKey = "shouldTerminateAfterLastWindowClosed";

// The process's choice; 0 until loaded or changed. Main thread.
std::uint8_t closeOption();
void setCloseOption(std::uint8_t option);

// The stored choice: 0, 1 or 2 as stored; anything else (a larger or a
// negative number, a value that is no integer, none) is 0, so the next
// close asks again.
std::uint8_t readCloseOption(const platform::Defaults& defaults);
// closeOption := the stored choice.
void loadCloseOption(const platform::Defaults& defaults);
// Stores closeOption() under the key and synchronises the defaults.
void storeCloseOption(platform::Defaults& defaults);

}  // namespace vandrel::app
