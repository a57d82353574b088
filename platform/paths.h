#pragma once

#include <filesystem>

namespace vandrel::platform {

// Where the system keeps its files, by the XDG base-directory rules. Each
// call reads the environment again (tests relocate everything with the XDG
// variables) and creates the base directory when it is missing; a directory
// that cannot be created is still returned, and the write that needs it
// reports the failure. An XDG variable that is empty or not an absolute
// path is ignored, as the XDG rules ask.

// The home directory: $HOME, else the password database's entry, else "/".
std::filesystem::path homeDirectory();

// $XDG_CACHE_HOME or ~/.cache (the Caches directory).
std::filesystem::path cachesDirectory();

// $XDG_DATA_HOME or ~/.local/share (the Application Support directory).
std::filesystem::path applicationSupportDirectory();

// $XDG_DOCUMENTS_DIR or ~/Documents.
std::filesystem::path documentsDirectory();

// $XDG_CONFIG_HOME or ~/.config.
std::filesystem::path configDirectory();

}  // namespace vandrel::platform
