#pragma once

// Maps return addresses recorded by a crashed process to symbols, using
// the binary images that process had loaded ("binary_images.fltrecord") and
// the same images (found by build-id) loaded in this process.
//
// A symbol name comes from the loader (dladdr) first, as for any exported
// function; when the loader knows none (functions that are not exported,
// which on this platform is most of them), from the image's ELF symbol
// table, or from its separate debug file when the image is stripped.
// Symbol tables are read once per image and kept while the resolver lives.
//
// Not synchronised: one resolver per report pass, on the caller's thread.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crash/reports/flt_stack_frame.h"
#include "platform/value.h"

namespace vandrel::crash {

struct FLTElfLoadedImageDetails;

class FLTSymbolResolver {
 public:
  // Where stripped images' debug files are looked for (tests point it
  // elsewhere).
  explicit FLTSymbolResolver(std::vector<std::string> debugRoots = {"/usr/lib/debug"});
  ~FLTSymbolResolver();
  FLTSymbolResolver(const FLTSymbolResolver&) = delete;
  FLTSymbolResolver& operator=(const FLTSymbolResolver&) = delete;

  // Reads every `load` line's image ("base", "size", "uuid", "path"),
  // sorted by base; unload lines and loads without base or size are left
  // out. False for an empty path or a file without lines (logged).
  bool loadBinaryImagesFromFile(const std::string& path);
  // Image dictionaries in base order.
  const std::vector<platform::Value::Dictionary>& binaryImages() const { return images_; }

  // The first image, in base order, with base <= pc < base + size.
  const platform::Value::Dictionary* loadedBinaryImageForPC(std::uint64_t pc) const;
  // The image with build-id `uuid` loaded in this process.
  static bool fillInImageDetails(FLTElfLoadedImageDetails* details, const std::string& uuid);
  // A frame for `address`, only when it resolves.
  std::optional<FLTStackFrame> frameForAddress(std::uint64_t address);
  // Fills symbol, raw symbol, offset and library. False when the address is
  // 0, falls in no recorded image, its image is not loaded here with the
  // same build-id, or no symbol can be found for it.
  bool updateStackFrame(FLTStackFrame* frame);

 private:
  struct SymbolTable;
  struct Symbol {
    std::string name;
    std::uintptr_t start = 0;  // run-time address
  };
  std::optional<Symbol> symbolForLocalAddress(std::uintptr_t local,
                                              const FLTElfLoadedImageDetails& details,
                                              const std::string& recordedPath);
  const SymbolTable* symbolTableFor(const FLTElfLoadedImageDetails& details,
                                    const std::string& loaderPath, const std::string& recordedPath);

  std::vector<std::string> debugRoots_;
  std::vector<platform::Value::Dictionary> images_;
  std::map<std::string, std::unique_ptr<SymbolTable>> symbolTables_;  // by build-id
};

}  // namespace vandrel::crash
