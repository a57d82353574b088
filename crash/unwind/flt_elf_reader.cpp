#include "crash/unwind/flt_elf_reader.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "crash/kit/trl_application_identity.h"

namespace vandrel::crash {
namespace {

// Pointer encodings of .eh_frame_hdr (the exception-handling ABI's values).
constexpr std::uint8_t kPEAbsptr = 0x00, kPEUdata2 = 0x02, kPEUdata4 = 0x03, kPEUdata8 = 0x04,
                       kPESdata2 = 0x0A, kPESdata4 = 0x0B, kPESdata8 = 0x0C, kPEPcrel = 0x10,
                       kPEDatarel = 0x30, kPEIndirect = 0x80, kPEOmit = 0xFF;

platform::Error elfError(std::int64_t code, std::string message) {
  return platform::Error{std::string(kFLTElfErrorDomain), code, std::move(message)};
}

// `offset + length <= size` without overflow.
bool fits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

// Every read of the file goes through here: out-of-range reads fail.
class ByteReader {
 public:
  ByteReader(std::span<const std::uint8_t> bytes, bool little) : bytes_(bytes), little_(little) {}

  std::uint64_t size() const { return bytes_.size(); }

  template <typename T>
  bool read(std::uint64_t offset, T* out) const {
    if (!fits(offset, sizeof(T), bytes_.size())) return false;
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      const std::uint8_t byte = bytes_[offset + (little_ ? sizeof(T) - 1 - i : i)];
      value = static_cast<T>((static_cast<std::uint64_t>(value) << 8) | byte);
    }
    *out = value;
    return true;
  }

  // A 32- or 64-bit field widened to 64 bits.
  bool word(std::uint64_t offset, bool is64, std::uint64_t* out) const {
    if (is64) return read(offset, out);
    std::uint32_t narrow = 0;
    if (!read(offset, &narrow)) return false;
    *out = narrow;
    return true;
  }

  // The NUL-terminated string at `offset` inside [tableStart, tableStart +
  // tableSize); absent when it runs off the table.
  std::optional<std::string> string(std::uint64_t tableStart, std::uint64_t tableSize,
                                    std::uint64_t offset) const {
    if (!fits(tableStart, tableSize, bytes_.size()) || offset >= tableSize) return std::nullopt;
    const auto* begin = bytes_.data() + tableStart + offset;
    const std::size_t room = tableSize - offset;
    const void* nul = std::memchr(begin, 0, room);
    if (nul == nullptr) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(begin),
                       static_cast<const std::uint8_t*>(nul) - begin);
  }

 private:
  std::span<const std::uint8_t> bytes_;
  bool little_;
};

struct Header {
  bool is64 = false;
  bool little = true;
  std::uint16_t type = 0, machine = 0;
  std::uint64_t phoff = 0, shoff = 0;
  std::uint16_t phentsize = 0, shentsize = 0;
  std::uint64_t phnum = 0, shnum = 0, shstrndx = 0;
};

struct RawSection {
  std::uint32_t name = 0, type = 0;
  std::uint64_t address = 0, offset = 0, size = 0;
  std::uint32_t link = 0;
};

bool hostIsLittle() {
  const std::uint16_t probe = 1;
  std::uint8_t first;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

platform::Result<Header> readHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < EI_NIDENT || std::memcmp(bytes.data(), ELFMAG, SELFMAG) != 0) {
    return elfError(kFLTElfErrorNotElf, "no ELF magic");
  }
  Header h;
  const std::uint8_t elfClass = bytes[EI_CLASS], order = bytes[EI_DATA];
  if ((elfClass != ELFCLASS32 && elfClass != ELFCLASS64) ||
      (order != ELFDATA2LSB && order != ELFDATA2MSB)) {
    return elfError(kFLTElfErrorNotElf, "unknown ELF class or byte order");
  }
  h.is64 = elfClass == ELFCLASS64;
  h.little = order == ELFDATA2LSB;
  const std::size_t headerSize = h.is64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
  if (bytes.size() < headerSize) return elfError(kFLTElfErrorTruncated, "ELF header cut off");
  const ByteReader r(bytes, h.little);
  std::uint16_t phnum = 0, shnum = 0, shstrndx = 0;
  const std::uint64_t w = h.is64 ? 8 : 4;  // width of address fields
  const std::uint64_t after = 24 + w * 3 + 4;  // e_flags follows e_entry, e_phoff, e_shoff
  bool ok = r.read(16, &h.type) && r.read(18, &h.machine) && r.word(24 + w, h.is64, &h.phoff) &&
            r.word(24 + 2 * w, h.is64, &h.shoff) && r.read(after + 2, &h.phentsize) &&
            r.read(after + 4, &phnum) && r.read(after + 6, &h.shentsize) &&
            r.read(after + 8, &shnum) && r.read(after + 10, &shstrndx);
  if (!ok) return elfError(kFLTElfErrorTruncated, "ELF header cut off");
  h.phnum = phnum;
  h.shnum = shnum;
  h.shstrndx = shstrndx;
  return h;
}

bool readSection(const ByteReader& r, const Header& h, std::uint64_t index, RawSection* out) {
  const std::uint64_t at = h.shoff + index * h.shentsize;
  const std::uint64_t w = h.is64 ? 8 : 4;
  return r.read(at, &out->name) && r.read(at + 4, &out->type) &&
         r.word(at + 8 + w, h.is64, &out->address) && r.word(at + 8 + 2 * w, h.is64, &out->offset) &&
         r.word(at + 8 + 3 * w, h.is64, &out->size) && r.read(at + 8 + 4 * w, &out->link);
}

bool readSegment(const ByteReader& r, const Header& h, std::uint64_t index, std::uint32_t* type,
                 FLTElfSegment* out) {
  const std::uint64_t at = h.phoff + index * h.phentsize;
  if (!r.read(at, type)) return false;
  if (h.is64) {
    return r.read(at + 4, &out->flags) && r.read(at + 8, &out->offset) &&
           r.read(at + 16, &out->vaddr) && r.read(at + 32, &out->filesz) &&
           r.read(at + 40, &out->memsz) && r.read(at + 48, &out->align);
  }
  return r.word(at + 4, false, &out->offset) && r.word(at + 8, false, &out->vaddr) &&
         r.word(at + 16, false, &out->filesz) && r.word(at + 20, false, &out->memsz) &&
         r.read(at + 24, &out->flags) && r.word(at + 28, false, &out->align);
}

void takeBuildID(std::span<const std::uint8_t> notes, std::uint64_t alignment, bool little,
                 FLTElfImageInfo* info) {
  // The note parser reads words in this machine's order.
  if (!info->buildID.empty() || little != hostIsLittle()) return;
  auto id = TRLBuildIDFromNotes(notes, alignment == 8 ? 8 : 4);
  if (id && id->size() <= kFLTElfMaxBuildIDBytes) info->buildID = TRLHexStringFromData(*id);
}

// The file offset of link-time address `vaddr`, through the PT_LOAD that
// holds it in its file contents.
std::optional<std::uint64_t> fileOffsetOf(const FLTElfImageInfo& info, std::uint64_t vaddr) {
  for (const auto& segment : info.loadSegments) {
    if (vaddr >= segment.vaddr && vaddr - segment.vaddr < segment.filesz) {
      return segment.offset + (vaddr - segment.vaddr);
    }
  }
  return std::nullopt;
}

platform::Result<void> readDynamic(const ByteReader& r, const Header& h, const FLTElfSegment& dyn,
                                   FLTElfImageInfo* info) {
  const std::uint64_t entrySize = h.is64 ? 16 : 8;
  std::vector<std::uint64_t> needed;
  std::optional<std::uint64_t> soname, strtab, strsz;
  for (std::uint64_t at = dyn.offset; at + entrySize <= dyn.offset + dyn.filesz; at += entrySize) {
    std::uint64_t tag = 0, value = 0;
    if (!r.word(at, h.is64, &tag) || !r.word(at + entrySize / 2, h.is64, &value)) {
      return elfError(kFLTElfErrorTruncated, "dynamic section cut off");
    }
    if (tag == DT_NULL) break;
    if (tag == DT_NEEDED) needed.push_back(value);
    if (tag == DT_SONAME) soname = value;
    if (tag == DT_STRTAB) strtab = value;
    if (tag == DT_STRSZ) strsz = value;
  }
  if (needed.empty() && !soname) return {};
  if (!strtab || !strsz) return elfError(kFLTElfErrorMalformed, "dynamic names without a string table");
  const auto tableAt = fileOffsetOf(*info, *strtab);
  if (!tableAt || !fits(*tableAt, *strsz, r.size())) {
    return elfError(kFLTElfErrorTruncated, "dynamic string table outside the file");
  }
  for (std::uint64_t offset : needed) {
    auto name = r.string(*tableAt, *strsz, offset);
    if (!name) return elfError(kFLTElfErrorMalformed, "DT_NEEDED name outside the string table");
    info->linkedLibraries.push_back(std::move(*name));
  }
  if (soname) {
    auto name = r.string(*tableAt, *strsz, *soname);
    if (!name) return elfError(kFLTElfErrorMalformed, "DT_SONAME outside the string table");
    info->soname = std::move(*name);
  }
  return {};
}

platform::Result<void> readProgramHeaders(const ByteReader& r, std::span<const std::uint8_t> bytes,
                                          const Header& h, FLTElfImageInfo* info) {
  if (h.phnum == 0) return {};
  const std::uint64_t minimum = h.is64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
  if (h.phentsize < minimum) return elfError(kFLTElfErrorMalformed, "program header entries too small");
  if (!fits(h.phoff, h.phnum * h.phentsize, r.size())) {
    return elfError(kFLTElfErrorTruncated, "program header table cut off");
  }
  std::optional<FLTElfSegment> dynamic;
  std::vector<FLTElfSegment> notes;
  for (std::uint64_t i = 0; i < h.phnum; ++i) {
    std::uint32_t type = 0;
    FLTElfSegment segment;
    if (!readSegment(r, h, i, &type, &segment)) {
      return elfError(kFLTElfErrorTruncated, "program header cut off");
    }
    if (type == PT_LOAD) {
      info->loadSegments.push_back(segment);
      if ((segment.flags & PF_X) != 0 && info->text.memsz == 0) info->text = segment;
    } else if (type == PT_DYNAMIC || type == PT_NOTE) {
      if (!fits(segment.offset, segment.filesz, r.size())) {
        return elfError(kFLTElfErrorTruncated, "segment contents cut off");
      }
      if (type == PT_DYNAMIC) dynamic = segment;
      if (type == PT_NOTE) notes.push_back(segment);
    }
  }
  for (const auto& note : notes) {
    takeBuildID(bytes.subspan(note.offset, note.filesz), note.align, h.little, info);
  }
  if (dynamic) return readDynamic(r, h, *dynamic, info);
  return {};
}

platform::Result<void> readSectionHeaders(const ByteReader& r, std::span<const std::uint8_t> bytes,
                                          Header h, FLTElfImageInfo* info) {
  if (h.shoff == 0) return {};
  const std::uint64_t minimum = h.is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
  if (h.shentsize < minimum) return elfError(kFLTElfErrorMalformed, "section header entries too small");
  RawSection first;
  if (!readSection(r, h, 0, &first)) return elfError(kFLTElfErrorTruncated, "section header table cut off");
  // Extended numbering keeps the real counts in section 0.
  if (h.shnum == 0) h.shnum = first.size;
  if (h.shstrndx == SHN_XINDEX) h.shstrndx = first.link;
  if (h.shnum > r.size() / h.shentsize || !fits(h.shoff, h.shnum * h.shentsize, r.size())) {
    return elfError(kFLTElfErrorTruncated, "section header table cut off");
  }
  RawSection names;
  if (h.shstrndx >= h.shnum || !readSection(r, h, h.shstrndx, &names) ||
      !fits(names.offset, names.size, r.size())) {
    return elfError(kFLTElfErrorMalformed, "section name table outside the file");
  }
  for (std::uint64_t i = 0; i < h.shnum; ++i) {
    RawSection s;
    if (!readSection(r, h, i, &s)) return elfError(kFLTElfErrorTruncated, "section header cut off");
    const bool hasBytes = s.type != SHT_NOBITS && s.type != SHT_NULL;
    if (hasBytes && !fits(s.offset, s.size, r.size())) {
      return elfError(kFLTElfErrorTruncated, "section contents cut off");
    }
    if (s.type == SHT_NOTE) takeBuildID(bytes.subspan(s.offset, s.size), 4, h.little, info);
    const auto name = r.string(names.offset, names.size, s.name);
    if (!name) continue;
    FLTElfSection* target = *name == ".eh_frame"       ? &info->ehFrame
                            : *name == ".eh_frame_hdr" ? &info->ehFrameHdr
                            : *name == ".symtab"       ? &info->symtab
                            : *name == ".strtab"       ? &info->strtab
                            : *name == ".dynsym"       ? &info->dynsym
                            : *name == ".dynstr"       ? &info->dynstr
                                                       : nullptr;
    if (target != nullptr && !target->present) {
      *target = FLTElfSection{s.address, s.size, hasBytes ? s.offset : 0, true};
      if (!hasBytes) target->size = 0;
    }
  }
  return {};
}

}  // namespace

std::string_view FLTElfArchitectureName(std::uint16_t machine, bool is64Bit) {
  switch (machine) {
    case EM_X86_64: return "x86_64";
    case EM_AARCH64: return "arm64";
    case EM_386: return "i386";
    case EM_ARM: return "armv7";
    case EM_RISCV: return is64Bit ? "riscv64" : "riscv32";
    case EM_PPC64: return "ppc64";
    case EM_S390: return is64Bit ? "s390x" : "s390";
    default: return "unknown";
  }
}

// ---- file layer ---------------------------------------------------------------

platform::Result<FLTElfFile> FLTElfFile::initWithPath(const std::string& path) {
  FLTElfFile file;
  file.path_ = path;
  // Paths come from report records too: a named pipe must not block the
  // open (it is refused below as not a regular file).
  file.fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (file.fd_ < 0) {
    return elfError(kFLTElfErrorUnreadable, "cannot open " + path + ": " + std::strerror(errno));
  }
  struct stat status {};
  if (::fstat(file.fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
    return elfError(kFLTElfErrorUnreadable, path + " is not a regular file");
  }
  if (status.st_size < 16) return elfError(kFLTElfErrorUnreadable, path + " is shorter than 16 bytes");
  if (static_cast<std::uint64_t>(status.st_size) > std::numeric_limits<std::size_t>::max()) {
    return elfError(kFLTElfErrorUnreadable, path + " is too large to map");
  }
  const auto size = static_cast<std::size_t>(status.st_size);
  void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.fd_, 0);
  if (mapping == MAP_FAILED) {
    return elfError(kFLTElfErrorUnreadable, "cannot map " + path + ": " + std::strerror(errno));
  }
  file.data_ = static_cast<const std::uint8_t*>(mapping);
  file.size_ = size;
  return file;
}

platform::Result<FLTElfFile> FLTElfFile::initWithCurrent() {
  char buffer[4096];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return elfError(kFLTElfErrorUnreadable, "the running executable has no path");
  return initWithPath(std::string(buffer, static_cast<std::size_t>(length)));
}

FLTElfFile::FLTElfFile(FLTElfFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      path_(std::move(other.path_)) {}

FLTElfFile& FLTElfFile::operator=(FLTElfFile&& other) noexcept {
  if (this != &other) {
    this->~FLTElfFile();
    new (this) FLTElfFile(std::move(other));
  }
  return *this;
}

FLTElfFile::~FLTElfFile() {
  if (data_ != nullptr && size_ > 0) ::munmap(const_cast<std::uint8_t*>(data_), size_);
  if (fd_ >= 0) ::close(fd_);
}

platform::Result<FLTElfImageInfo> FLTElfReadImage(std::span<const std::uint8_t> bytes) {
  auto header = readHeader(bytes);
  if (!header) return header.error();
  const Header& h = header.value();
  const ByteReader reader(bytes, h.little);
  FLTElfImageInfo info;
  info.is64Bit = h.is64;
  info.littleEndian = h.little;
  info.type = h.type;
  info.machine = h.machine;
  info.architecture = std::string(FLTElfArchitectureName(h.machine, h.is64));
  if (auto done = readProgramHeaders(reader, bytes, h, &info); !done) return done.error();
  if (auto done = readSectionHeaders(reader, bytes, h, &info); !done) return done.error();
  return info;
}

platform::Result<FLTElfBinary> FLTElfBinary::binaryWithPath(const std::string& path) {
  auto file = FLTElfFile::initWithPath(path);
  if (!file) return file.error();
  auto info = FLTElfReadImage(file.value().bytes());
  if (!info) {
    auto error = info.error();
    error.message = path + ": " + error.message;
    return error;
  }
  return FLTElfBinary(std::move(file).value(), std::move(info).value());
}

std::span<const std::uint8_t> FLTElfBinary::sectionData(const FLTElfSection& section) const {
  const auto all = file_.bytes();
  if (!section.present || section.size == 0 || !fits(section.fileOffset, section.size, all.size())) {
    return {};
  }
  return all.subspan(section.fileOffset, section.size);
}

std::string FLTElfDebugFile::pathForBuildID(std::string_view root, std::string_view buildID) {
  if (buildID.size() < 4 || buildID.size() % 2 != 0) return {};
  std::string id;
  for (char c : buildID) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    id.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return std::string(root) + "/.build-id/" + id.substr(0, 2) + "/" + id.substr(2) + ".debug";
}

std::optional<FLTElfDebugFile> FLTElfDebugFile::debugFileForBuildID(
    std::string_view buildID, const std::vector<std::string>& roots) {
  for (const auto& root : roots) {
    const std::string path = pathForBuildID(root, buildID);
    if (path.empty()) return std::nullopt;
    auto binary = FLTElfBinary::binaryWithPath(path);
    if (!binary) continue;
    const std::string& found = binary.value().uuid();
    if (found.size() != buildID.size() ||
        !std::equal(found.begin(), found.end(), buildID.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      continue;
    }
    return FLTElfDebugFile(std::move(binary).value());
  }
  return std::nullopt;
}

// ---- loaded-image layer -------------------------------------------------------

std::uintptr_t FLTElfEhFrameFromHeader(std::span<const std::uint8_t> header,
                                       std::uintptr_t headerAddress) {
  if (header.size() < 4 || header[0] != 1) return 0;
  const std::uint8_t encoding = header[1];
  if (encoding == kPEOmit || (encoding & kPEIndirect) != 0) return 0;
  const auto field = header.subspan(4);
  std::uint64_t raw = 0;
  std::size_t width = 0;
  bool isSigned = false;
  switch (encoding & 0x0F) {
    case kPEAbsptr: width = sizeof(std::uintptr_t); break;
    case kPEUdata2: width = 2; break;
    case kPEUdata4: width = 4; break;
    case kPEUdata8: width = 8; break;
    case kPESdata2: width = 2; isSigned = true; break;
    case kPESdata4: width = 4; isSigned = true; break;
    case kPESdata8: width = 8; isSigned = true; break;
    default: return 0;
  }
  if (field.size() < width) return 0;
  // The loaded image is in this machine's byte order.
  std::memcpy(&raw, field.data(), width);
  if (!hostIsLittle()) raw >>= 8 * (8 - width);
  if (isSigned && width < 8 && (raw >> (8 * width - 1)) != 0) raw |= ~0ULL << (8 * width);
  switch (encoding & 0x70) {
    case 0: break;
    case kPEPcrel: raw += headerAddress + 4; break;
    case kPEDatarel: raw += headerAddress; break;
    default: return 0;
  }
  return static_cast<std::uintptr_t>(raw);
}

bool FLTElfReadLoadedImage(const dl_phdr_info& info, FLTElfLoadedImageDetails* details) {
  *details = FLTElfLoadedImageDetails{};
  const std::uintptr_t bias = info.dlpi_addr;
  std::uintptr_t lowest = std::numeric_limits<std::uintptr_t>::max(), end = 0, textEnd = 0;
  std::optional<std::uintptr_t> header;  // the segment that maps file offset 0
  for (ElfW(Half) i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr)& p = info.dlpi_phdr[i];
    if (p.p_type == PT_LOAD) {
      if (p.p_offset == 0 && !header) header = p.p_vaddr;
      lowest = std::min<std::uintptr_t>(lowest, p.p_vaddr);
      end = std::max<std::uintptr_t>(end, p.p_vaddr + p.p_memsz);
      if ((p.p_flags & PF_X) != 0) {
        textEnd = std::max<std::uintptr_t>(textEnd, p.p_vaddr + p.p_memsz);
        if (details->textSize == 0) {
          details->textStart = bias + p.p_vaddr;
          details->textSize = p.p_memsz;
        }
      }
    } else if (p.p_type == PT_GNU_EH_FRAME && p.p_memsz > 0) {
      details->ehFrameHdr = bias + p.p_vaddr;
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(details->ehFrameHdr);
      details->ehFrame = FLTElfEhFrameFromHeader(std::span(bytes, p.p_memsz), details->ehFrameHdr);
    } else if (p.p_type == PT_NOTE && details->buildID[0] == '\0') {
      const auto* notes = reinterpret_cast<const std::uint8_t*>(bias + p.p_vaddr);
      auto id = TRLBuildIDFromNotes(std::span(notes, p.p_memsz), p.p_align == 8 ? 8 : 4);
      if (id && id->size() <= kFLTElfMaxBuildIDBytes) {
        TRLHexEncode(id->data(), id->size(), details->buildID);
      }
    }
  }
  if (end == 0) return false;
  details->loadBias = bias;
  const std::uintptr_t start = header.value_or(lowest);
  details->loadAddress = bias + start;
  details->size = (textEnd != 0 ? textEnd : end) - start;
  if (header) {
    const auto* elfHeader = reinterpret_cast<const ElfW(Ehdr)*>(details->loadAddress);
    if (std::memcmp(elfHeader->e_ident, ELFMAG, SELFMAG) == 0) details->machine = elfHeader->e_machine;
  }
  return true;
}

std::string FLTElfLoadedImagePath(const dl_phdr_info& info) {
  if (info.dlpi_name != nullptr && info.dlpi_name[0] != '\0') return info.dlpi_name;
  char buffer[4096];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace vandrel::crash
