#include "crash/reports/flt_symbol_resolver.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <tuple>

#include "crash/capture/flt_binary_images.h"
#include "crash/capture/flt_record_reader.h"
#include "crash/unwind/flt_elf_reader.h"

namespace vandrel::crash {

// Function symbols of one image by link-time start address.
struct FLTSymbolResolver::SymbolTable {
  struct Entry {
    std::uint64_t start = 0;
    std::uint64_t size = 0;
    std::string name;
  };
  std::vector<Entry> entries;

  // The symbol whose range holds `address` (a zero-sized one only at its
  // start).
  const Entry* find(std::uint64_t address) const {
    auto it = std::upper_bound(entries.begin(), entries.end(), address,
                               [](std::uint64_t a, const Entry& e) { return a < e.start; });
    while (it != entries.begin()) {
      --it;
      if (address < it->start + it->size || (it->size == 0 && address == it->start)) return &*it;
      // Only a symbol starting at the same address may still hold it.
      if (it->start != address) {
        if (it == entries.begin() || std::prev(it)->start != it->start) break;
      }
    }
    return nullptr;
  }
};

namespace {

template <typename Sym>
void collect(std::span<const std::uint8_t> symbols, std::span<const std::uint8_t> names,
             std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>>* out) {
  for (std::size_t at = 0; at + sizeof(Sym) <= symbols.size(); at += sizeof(Sym)) {
    Sym sym;
    std::memcpy(&sym, symbols.data() + at, sizeof sym);
    const unsigned type = sym.st_info & 0xf;
    if ((type != STT_FUNC && type != STT_GNU_IFUNC) || sym.st_shndx == SHN_UNDEF ||
        sym.st_value == 0 || sym.st_name >= names.size()) {
      continue;
    }
    const auto* begin = reinterpret_cast<const char*>(names.data() + sym.st_name);
    const void* nul = std::memchr(begin, 0, names.size() - sym.st_name);
    if (nul == nullptr) continue;
    std::string name(begin, static_cast<const char*>(nul));
    if (name.empty()) continue;
    out->emplace_back(sym.st_value, sym.st_size, std::move(name));
  }
}

bool hostIsLittleEndian() {
  const std::uint16_t probe = 1;
  std::uint8_t first;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

// Symbols of `binary`'s full table, else of its dynamic one. Only images of
// this process's own class and byte order are read (they are loaded here).
bool readSymbolTable(const FLTElfBinary& binary, bool allowDynamic,
                     std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>>* out) {
  const FLTElfImageInfo& info = binary.info();
  if (info.is64Bit != (sizeof(void*) == 8) || info.littleEndian != hostIsLittleEndian()) {
    return false;
  }
  const bool full = info.symtab.present && info.strtab.present && info.symtab.size > 0;
  if (!full && !allowDynamic) return false;
  const FLTElfSection& table = full ? info.symtab : info.dynsym;
  const FLTElfSection& names = full ? info.strtab : info.dynstr;
  const auto symbols = binary.sectionData(table);
  const auto strings = binary.sectionData(names);
  if (symbols.empty() || strings.empty()) return false;
  if (info.is64Bit) {
    collect<Elf64_Sym>(symbols, strings, out);
  } else {
    collect<Elf32_Sym>(symbols, strings, out);
  }
  return true;
}

std::string lastPathComponent(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::uint64_t> unsignedMember(const platform::Value::Dictionary& image,
                                            const char* key) {
  const auto it = image.find(key);
  if (it == image.end()) return std::nullopt;
  const auto value = it->second.asInt();
  if (!value || *value < 0) return std::nullopt;
  return static_cast<std::uint64_t>(*value);
}

std::string stringMember(const platform::Value::Dictionary& image, const char* key) {
  const auto it = image.find(key);
  if (it == image.end() || it->second.asString() == nullptr) return {};
  return *it->second.asString();
}

}  // namespace

FLTSymbolResolver::FLTSymbolResolver(std::vector<std::string> debugRoots)
    : debugRoots_(std::move(debugRoots)) {}

FLTSymbolResolver::~FLTSymbolResolver() = default;

bool FLTSymbolResolver::loadBinaryImagesFromFile(const std::string& path) {
  if (path.empty()) return false;
  const auto read = FLTFileReadSections(path.c_str(), false);
  if (!read.ok() || read.value().sections.empty()) {
    std::fprintf(stderr, "[Faultline:Crash:SymbolResolver] failed to read binary image file %s\n",
                 path.c_str());
    return false;
  }
  images_.clear();
  for (const platform::Value& line : read.value().sections) {
    const platform::Value* load = line.find("load");
    if (load == nullptr || load->asDictionary() == nullptr) continue;
    const auto& image = *load->asDictionary();
    // A base or size that is missing, null or not a number cannot place
    // the image.
    if (!unsignedMember(image, "base") || !unsignedMember(image, "size")) continue;
    images_.push_back(image);
  }
  std::stable_sort(images_.begin(), images_.end(), [](const auto& a, const auto& b) {
    return *unsignedMember(a, "base") < *unsignedMember(b, "base");
  });
  return true;
}

const platform::Value::Dictionary* FLTSymbolResolver::loadedBinaryImageForPC(std::uint64_t pc) const {
  for (const auto& image : images_) {
    const std::uint64_t base = *unsignedMember(image, "base");
    const std::uint64_t size = *unsignedMember(image, "size");
    if (base <= pc && pc - base < size) return &image;
  }
  return nullptr;
}

bool FLTSymbolResolver::fillInImageDetails(FLTElfLoadedImageDetails* details,
                                           const std::string& uuid) {
  if (details == nullptr || uuid.empty()) return false;
  return FLTBinaryImageRegistry::findImageForUUID(uuid, details);
}

std::optional<FLTStackFrame> FLTSymbolResolver::frameForAddress(std::uint64_t address) {
  FLTStackFrame frame = FLTStackFrame::stackFrameWithAddress(address);
  if (!updateStackFrame(&frame)) return std::nullopt;
  return frame;
}

const FLTSymbolResolver::SymbolTable* FLTSymbolResolver::symbolTableFor(
    const FLTElfLoadedImageDetails& details, const std::string& loaderPath,
    const std::string& recordedPath) {
  const std::string uuid = details.buildID;
  if (auto it = symbolTables_.find(uuid); it != symbolTables_.end()) return it->second.get();

  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>> raw;
  // The same image as a file: where the loader found it, where the crashed
  // process had it, or this executable; only a file with the same build-id
  // describes the loaded code.
  std::optional<FLTElfBinary> binary;
  for (const std::string& candidate : {loaderPath, recordedPath, std::string("/proc/self/exe")}) {
    if (candidate.empty()) continue;
    auto parsed = FLTElfBinary::binaryWithPath(candidate);
    if (parsed.ok() && parsed.value().uuid() == uuid) {
      binary.emplace(std::move(parsed.value()));
      break;
    }
  }
  bool found = binary && readSymbolTable(*binary, false, &raw);
  if (!found) {
    // A stripped image keeps its full table in its separate debug file.
    if (auto debug = FLTElfDebugFile::debugFileForBuildID(uuid, debugRoots_)) {
      found = readSymbolTable(debug->binary(), false, &raw);
    }
  }
  if (!found && binary) readSymbolTable(*binary, true, &raw);

  auto table = std::make_unique<SymbolTable>();
  table->entries.reserve(raw.size());
  for (auto& [start, size, name] : raw) table->entries.push_back({start, size, std::move(name)});
  std::sort(table->entries.begin(), table->entries.end(),
            [](const auto& a, const auto& b) { return a.start < b.start; });
  return symbolTables_.emplace(uuid, std::move(table)).first->second.get();
}

std::optional<FLTSymbolResolver::Symbol> FLTSymbolResolver::symbolForLocalAddress(
    std::uintptr_t local, const FLTElfLoadedImageDetails& details, const std::string& recordedPath) {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(local), &info) == 0) return std::nullopt;
  if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
    return Symbol{info.dli_sname, reinterpret_cast<std::uintptr_t>(info.dli_saddr)};
  }
  const SymbolTable* table =
      symbolTableFor(details, info.dli_fname != nullptr ? info.dli_fname : "", recordedPath);
  const auto* entry = table != nullptr ? table->find(local - details.loadBias) : nullptr;
  if (entry == nullptr) return Symbol{};  // the image is known, the symbol is not
  return Symbol{entry->name, static_cast<std::uintptr_t>(entry->start + details.loadBias)};
}

bool FLTSymbolResolver::updateStackFrame(FLTStackFrame* frame) {
  if (frame == nullptr || frame->address == 0) return false;
  const platform::Value::Dictionary* image = loadedBinaryImageForPC(frame->address);
  if (image == nullptr) return false;
  FLTElfLoadedImageDetails details;
  if (!fillInImageDetails(&details, stringMember(*image, "uuid"))) return false;

  const std::uint64_t base = *unsignedMember(*image, "base");
  const std::uintptr_t local =
      static_cast<std::uintptr_t>(frame->address - base) + details.loadAddress;
  const std::string recordedPath = stringMember(*image, "path");
  auto symbol = symbolForLocalAddress(local, details, recordedPath);
  if (!symbol) return false;
  // A return address at a symbol's very start follows a call that never
  // returns at the end of the previous function: that one made the call.
  std::uintptr_t lookup = local;
  if (!symbol->name.empty() && lookup == symbol->start) {
    lookup -= 2;
    symbol = symbolForLocalAddress(lookup, details, recordedPath);
    if (!symbol) return false;
  }
  if (!symbol->name.empty()) {
    frame->symbol = symbol->name;
    frame->rawSymbol = symbol->name;
    // The offset is measured from where the symbol was found: it only has a
    // meaning next to a symbol.
    if (local > symbol->start) frame->offset = local - symbol->start;
  }
  frame->library = lastPathComponent(recordedPath);
  return true;
}

}  // namespace vandrel::crash
