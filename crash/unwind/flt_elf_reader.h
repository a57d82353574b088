#pragma once

// Small readers of ELF images, in two layers.
//
// The file layer maps a file read-only and parses it with a bounds check on
// every read: a truncated or hostile file gives an error, never a read
// outside the mapping. It yields what the binary-image registry, the
// unwinder and symbolication ask of an image: the build-id (the image's
// identity, lower-case hex), the architecture, the executable (text)
// segment, where .eh_frame and .eh_frame_hdr lie (the unwind sections), the
// libraries named by DT_NEEDED, and the separate debug file that carries
// the same build-id.
//
// The loaded-image layer reads an image the dynamic loader has mapped into
// this process, from its program headers (as dl_iterate_phdr reports them).
// It is not for crash time: the loader's iteration takes a lock.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

struct dl_phdr_info;

namespace vandrel::crash {

inline constexpr std::string_view kFLTElfErrorDomain = "vandrel.crash.elf";
inline constexpr std::int64_t kFLTElfErrorUnreadable = 1;  // cannot open, stat or map
inline constexpr std::int64_t kFLTElfErrorNotElf = 2;      // no ELF magic or unknown class/order
inline constexpr std::int64_t kFLTElfErrorTruncated = 3;   // a table or record runs past the end
inline constexpr std::int64_t kFLTElfErrorMalformed = 4;   // inconsistent fields

// Longest build-id taken (SHA-1 ids are 20 bytes, md5/uuid ones 16); an
// image whose note is longer counts as having none.
inline constexpr std::size_t kFLTElfMaxBuildIDBytes = 32;
// Hex form plus its NUL.
inline constexpr std::size_t kFLTElfBuildIDStringSize = 2 * kFLTElfMaxBuildIDBytes + 1;

// Where separate debug files live by default (<root>/.build-id/ab/cdef….debug).
inline constexpr std::string_view kFLTElfDefaultDebugRoot = "/usr/lib/debug";

// "x86_64", "arm64", "i386", "armv7", "riscv64", …; "unknown" otherwise.
std::string_view FLTElfArchitectureName(std::uint16_t machine, bool is64Bit);

// ---- file layer ---------------------------------------------------------------

// A read-only mapping of a whole file. Move-only; unmaps and closes itself.
class FLTElfFile {
 public:
  // A regular file of at least 16 bytes, mapped whole, read-only.
  static platform::Result<FLTElfFile> initWithPath(const std::string& path);
  // The running executable (/proc/self/exe).
  static platform::Result<FLTElfFile> initWithCurrent();

  FLTElfFile(FLTElfFile&& other) noexcept;
  FLTElfFile& operator=(FLTElfFile&& other) noexcept;
  FLTElfFile(const FLTElfFile&) = delete;
  FLTElfFile& operator=(const FLTElfFile&) = delete;
  ~FLTElfFile();

  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
  const std::string& path() const { return path_; }

 private:
  FLTElfFile() = default;
  int fd_ = -1;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::string path_;
};

// A section as the section headers give it.
struct FLTElfSection {
  std::uint64_t address = 0;  // link-time address (add the load bias when loaded)
  std::uint64_t size = 0;
  std::uint64_t fileOffset = 0;
  bool present = false;
};

// A PT_LOAD segment.
struct FLTElfSegment {
  std::uint64_t vaddr = 0;
  std::uint64_t memsz = 0;
  std::uint64_t offset = 0;
  std::uint64_t filesz = 0;
  std::uint64_t align = 0;
  std::uint32_t flags = 0;  // PF_R / PF_W / PF_X
};

// Everything read from one ELF file.
struct FLTElfImageInfo {
  bool is64Bit = false;
  bool littleEndian = true;
  std::uint16_t type = 0;  // ET_EXEC, ET_DYN, …
  std::uint16_t machine = 0;
  std::string architecture;
  // Lower-case hex; empty when the image carries no build-id note.
  std::string buildID;
  std::vector<FLTElfSegment> loadSegments;
  // The first executable PT_LOAD (zero when none).
  FLTElfSegment text;
  FLTElfSection ehFrame;
  FLTElfSection ehFrameHdr;
  // Symbol tables and their string tables, for symbolication: the full
  // table (absent in stripped images) and the dynamic one.
  FLTElfSection symtab;
  FLTElfSection strtab;
  FLTElfSection dynsym;
  FLTElfSection dynstr;
  // DT_NEEDED entries in order; DT_SONAME when present.
  std::vector<std::string> linkedLibraries;
  std::string soname;
};

// Parses an ELF image held in `bytes` (a mapped file). Every table is
// checked against the size of `bytes`.
platform::Result<FLTElfImageInfo> FLTElfReadImage(std::span<const std::uint8_t> bytes);

// A file and what it holds.
class FLTElfBinary {
 public:
  static platform::Result<FLTElfBinary> binaryWithPath(const std::string& path);

  const std::string& path() const { return file_.path(); }
  const FLTElfImageInfo& info() const { return info_; }
  const std::string& uuid() const { return info_.buildID; }
  const std::string& architectureName() const { return info_.architecture; }
  // The section's bytes inside the file; empty when absent or when it has
  // no file contents (SHT_NOBITS).
  std::span<const std::uint8_t> sectionData(const FLTElfSection& section) const;
  std::span<const std::uint8_t> bytes() const { return file_.bytes(); }

 private:
  FLTElfBinary(FLTElfFile file, FLTElfImageInfo info)
      : file_(std::move(file)), info_(std::move(info)) {}
  FLTElfFile file_;
  FLTElfImageInfo info_;
};

// The separate debug file of an image: "<root>/.build-id/<first two hex
// digits>/<rest>.debug" for each root in order, taken only when the file
// parses and carries the same build-id: the symbols of a stripped image.
class FLTElfDebugFile {
 public:
  static std::optional<FLTElfDebugFile> debugFileForBuildID(
      std::string_view buildID,
      const std::vector<std::string>& roots = {std::string(kFLTElfDefaultDebugRoot)});
  // "<root>/.build-id/ab/cdef….debug"; empty for an id shorter than two
  // bytes or holding anything but hex digits.
  static std::string pathForBuildID(std::string_view root, std::string_view buildID);

  const FLTElfBinary& binary() const { return binary_; }
  const std::string& path() const { return binary_.path(); }

 private:
  explicit FLTElfDebugFile(FLTElfBinary binary) : binary_(std::move(binary)) {}
  FLTElfBinary binary_;
};

// ---- loaded-image layer -------------------------------------------------------

// A loaded image as the registry keeps it. Fixed-size (no heap) so it can be
// copied into crash-time tables.
struct FLTElfLoadedImageDetails {
  std::uintptr_t loadAddress = 0;  // where the ELF header is mapped (lowest PT_LOAD)
  std::uintptr_t loadBias = 0;     // dlpi_addr: run-time minus link-time address
  // From the load address to the end of the last executable segment (the
  // whole image when none is executable): the range an instruction address
  // of this image falls in.
  std::uintptr_t size = 0;
  std::uintptr_t textStart = 0;  // first executable segment
  std::uintptr_t textSize = 0;
  std::uintptr_t ehFrameHdr = 0;  // PT_GNU_EH_FRAME at run time, or 0
  std::uintptr_t ehFrame = 0;     // decoded from .eh_frame_hdr, or 0
  std::uint16_t machine = 0;
  char buildID[kFLTElfBuildIDStringSize] = {};  // hex, "" when none
};

// Reads one image reported by dl_iterate_phdr. False when it has no PT_LOAD
// segment. Reads only memory its own program headers declare mapped.
bool FLTElfReadLoadedImage(const dl_phdr_info& info, FLTElfLoadedImageDetails* details);

// Decodes the eh_frame pointer of an .eh_frame_hdr (version 1) whose bytes
// are `header`, found at run-time address `headerAddress`. 0 when the
// version or the pointer encoding is not understood or the bytes run out.
std::uintptr_t FLTElfEhFrameFromHeader(std::span<const std::uint8_t> header,
                                       std::uintptr_t headerAddress);

// The path of a loaded image: dlpi_name, or the running executable's path
// for the main program (whose name is empty).
std::string FLTElfLoadedImagePath(const dl_phdr_info& info);

}  // namespace vandrel::crash
