#include "crash/unwind/flt_elf_reader.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "crash/kit/trl_application_identity.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash {
namespace {

std::string selfPath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

std::vector<std::uint8_t> readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeAll(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Holds bytes so that they end exactly at an inaccessible page: any read
// past the end faults instead of passing silently.
class GuardedBytes {
 public:
  explicit GuardedBytes(std::span<const std::uint8_t> bytes) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    dataPages_ = (bytes.size() + page - 1) / page * page;
    mappingSize_ = dataPages_ + page;
    mapping_ = static_cast<std::uint8_t*>(
        ::mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ::mprotect(mapping_ + dataPages_, page, PROT_NONE);
    start_ = mapping_ + dataPages_ - bytes.size();
    if (!bytes.empty()) std::memcpy(start_, bytes.data(), bytes.size());
    size_ = bytes.size();
  }
  ~GuardedBytes() { ::munmap(mapping_, mappingSize_); }
  std::span<const std::uint8_t> span() const { return {start_, size_}; }

 private:
  std::uint8_t* mapping_ = nullptr;
  std::uint8_t* start_ = nullptr;
  std::size_t size_ = 0, dataPages_ = 0, mappingSize_ = 0;
};

// A small, complete 64-bit little-endian shared object made by hand: one
// PT_LOAD (r-x), a PT_NOTE with a build-id, a PT_DYNAMIC naming two
// libraries and a soname, and section headers for .eh_frame_hdr,
// .eh_frame and the name table.
std::vector<std::uint8_t> makeSmallElf() {
  std::vector<std::uint8_t> b(0x400, 0);
  auto put = [&](std::size_t at, auto value) { std::memcpy(b.data() + at, &value, sizeof value); };
  Elf64_Ehdr eh{};
  std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
  eh.e_ident[EI_CLASS] = ELFCLASS64;
  eh.e_ident[EI_DATA] = ELFDATA2LSB;
  eh.e_ident[EI_VERSION] = EV_CURRENT;
  eh.e_type = ET_DYN;
  eh.e_machine = EM_X86_64;
  eh.e_phoff = 0x40;
  eh.e_phentsize = sizeof(Elf64_Phdr);
  eh.e_phnum = 3;
  eh.e_shoff = 0x300;
  eh.e_shentsize = sizeof(Elf64_Shdr);
  eh.e_shnum = 4;
  eh.e_shstrndx = 3;
  put(0, eh);
  const Elf64_Phdr load{PT_LOAD, PF_R | PF_X, 0, 0, 0, 0x300, 0x300, 0x1000};
  const Elf64_Phdr note{PT_NOTE, PF_R, 0x100, 0x100, 0x100, 24, 24, 4};
  const Elf64_Phdr dyn{PT_DYNAMIC, PF_R, 0x140, 0x140, 0x140, 5 * 16, 5 * 16, 8};
  put(0x40, load);
  put(0x40 + 56, note);
  put(0x40 + 112, dyn);
  // Note: namesz 4, descsz 8, type 3, "GNU\0", 8 id bytes.
  put(0x100, std::uint32_t{4});
  put(0x104, std::uint32_t{8});
  put(0x108, std::uint32_t{NT_GNU_BUILD_ID});
  std::memcpy(b.data() + 0x10C, "GNU", 4);
  const std::uint8_t id[8] = {0xde, 0xad, 0xbe, 0xef, 0x01, 0x02, 0x03, 0x04};
  std::memcpy(b.data() + 0x110, id, 8);
  // Dynamic: NEEDED 1, NEEDED 11, SONAME 21, STRTAB 0x200, STRSZ 33 (no
  // DT_NULL: the segment ends there).
  const Elf64_Dyn entries[] = {{DT_NEEDED, {1}},  {DT_NEEDED, {11}}, {DT_SONAME, {21}},
                               {DT_STRTAB, {0x200}}, {DT_STRSZ, {33}}};
  std::memcpy(b.data() + 0x140, entries, sizeof entries);
  std::memcpy(b.data() + 0x200, "\0libc.so.6\0libm.so.6\0libsmall.so\0", 33);
  // Section names at 0x240.
  std::memcpy(b.data() + 0x240, "\0.eh_frame_hdr\0.eh_frame\0.shstrtab\0", 35);
  // .eh_frame_hdr at 0x280: version 1, pcrel|sdata4 pointer to 0x2a0.
  b[0x280] = 1;
  b[0x281] = 0x1b;
  b[0x282] = 0xff;
  b[0x283] = 0xff;
  put(0x284, std::int32_t{0x2a0 - 0x284});
  Elf64_Shdr hdr{1, SHT_PROGBITS, SHF_ALLOC, 0x280, 0x280, 8, 0, 0, 4, 0};
  Elf64_Shdr frame{15, SHT_PROGBITS, SHF_ALLOC, 0x2a0, 0x2a0, 0x20, 0, 0, 8, 0};
  Elf64_Shdr names{25, SHT_STRTAB, 0, 0, 0x240, 35, 0, 0, 1, 0};
  put(0x300 + 64, hdr);
  put(0x300 + 128, frame);
  put(0x300 + 192, names);
  b.resize(0x400);
  return b;
}

TEST(FLTElfReaderTest, ReadsTheTestBinaryItself) {
  auto binary = FLTElfBinary::binaryWithPath(selfPath());
  ASSERT_TRUE(binary.ok()) << binary.error().message;
  const FLTElfImageInfo& info = binary.value().info();
  EXPECT_EQ(info.architecture, TRLCurrentArchitectureName());
  EXPECT_NE(info.text.flags & PF_X, 0u);
  EXPECT_GT(info.text.memsz, 0u);
  EXPECT_TRUE(info.ehFrame.present);
  EXPECT_TRUE(info.ehFrameHdr.present);
  EXPECT_FALSE(binary.value().sectionData(info.ehFrameHdr).empty());
  EXPECT_NE(std::find(info.linkedLibraries.begin(), info.linkedLibraries.end(), "libc.so.6"),
            info.linkedLibraries.end());
  if (auto id = TRLMainExecutableBuildID()) {
    EXPECT_EQ(binary.value().uuid(), TRLHexStringFromData(*id));
  }
  auto current = FLTElfFile::initWithCurrent();
  ASSERT_TRUE(current.ok());
  EXPECT_EQ(current.value().bytes().size(), binary.value().bytes().size());
}

struct LoadedSearch {
  std::uintptr_t address = 0;
  bool found = false;
  FLTElfLoadedImageDetails details;
};

int findLoaded(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<LoadedSearch*>(data);
  FLTElfLoadedImageDetails details;
  if (FLTElfReadLoadedImage(*info, &details) && search->address >= details.loadAddress &&
      search->address - details.loadAddress < details.size) {
    search->details = details;
    search->found = true;
    return 1;
  }
  return 0;
}

TEST(FLTElfReaderTest, SharedLibraryFileAgreesWithItsLoadedImage) {
  void* handle = ::dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  void* symbol = ::dlsym(handle, "zlibVersion");
  Dl_info where{};
  ASSERT_NE(::dladdr(symbol, &where), 0);
  auto binary = FLTElfBinary::binaryWithPath(where.dli_fname);
  ASSERT_TRUE(binary.ok()) << binary.error().message;
  const FLTElfImageInfo& info = binary.value().info();
  EXPECT_EQ(info.soname, "libz.so.1");
  EXPECT_EQ(info.linkedLibraries, std::vector<std::string>{"libc.so.6"});
  ASSERT_FALSE(info.buildID.empty());

  LoadedSearch search;
  search.address = reinterpret_cast<std::uintptr_t>(symbol);
  dl_iterate_phdr(findLoaded, &search);
  ASSERT_TRUE(search.found);
  const auto& loaded = search.details;
  EXPECT_EQ(std::string(loaded.buildID), info.buildID);
  EXPECT_EQ(loaded.loadAddress, reinterpret_cast<std::uintptr_t>(where.dli_fbase));
  EXPECT_EQ(loaded.machine, info.machine);
  EXPECT_EQ(loaded.textStart, loaded.loadBias + info.text.vaddr);
  EXPECT_EQ(loaded.ehFrameHdr, loaded.loadBias + info.ehFrameHdr.address);
  EXPECT_EQ(loaded.ehFrame, loaded.loadBias + info.ehFrame.address);
  ::dlclose(handle);
}

TEST(FLTElfReaderTest, HandMadeImageYieldsEveryField) {
  const auto bytes = makeSmallElf();
  GuardedBytes guarded(bytes);
  auto info = FLTElfReadImage(guarded.span());
  ASSERT_TRUE(info.ok()) << info.error().message;
  EXPECT_EQ(info.value().buildID, "deadbeef01020304");
  EXPECT_EQ(info.value().linkedLibraries, (std::vector<std::string>{"libc.so.6", "libm.so.6"}));
  EXPECT_EQ(info.value().soname, "libsmall.so");
  EXPECT_EQ(info.value().ehFrameHdr.address, 0x280u);
  EXPECT_EQ(info.value().ehFrame.size, 0x20u);
  EXPECT_EQ(info.value().text.memsz, 0x300u);
  // The header's pointer leads to the .eh_frame section.
  EXPECT_EQ(FLTElfEhFrameFromHeader(std::span(bytes).subspan(0x280, 8), 0x280), 0x2a0u);
}

TEST(FLTElfReaderTest, EveryTruncationOfAnImageFailsCleanly) {
  const auto bytes = makeSmallElf();
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    SCOPED_TRACE(length);
    GuardedBytes guarded{std::span<const std::uint8_t>(bytes).first(length)};
    auto info = FLTElfReadImage(guarded.span());
    // The section header table is the last thing in the file.
    EXPECT_FALSE(info.ok());
  }
  // The real binary, cut at a spread of places, never reads past its end.
  const auto self = readAll(selfPath());
  for (std::size_t step = 0; step <= 64; ++step) {
    const std::size_t length = self.size() * step / 64 - (step == 64 ? 1 : 0);
    SCOPED_TRACE(length);
    GuardedBytes guarded{std::span<const std::uint8_t>(self).first(length)};
    (void)FLTElfReadImage(guarded.span());
  }
}

TEST(FLTElfReaderTest, HostileFieldsGiveErrorsNotReads) {
  struct Case {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    std::int64_t code;
  };
  auto put = [](std::vector<std::uint8_t>& b, std::size_t at, auto value) {
    std::memcpy(b.data() + at, &value, sizeof value);
  };
  const std::vector<Case> cases = {
      {"not ELF", [](auto& b) { b[0] = 'X'; }, kFLTElfErrorNotElf},
      {"unknown class", [](auto& b) { b[EI_CLASS] = 9; }, kFLTElfErrorNotElf},
      {"program headers past end", [&](auto& b) { put(b, 0x20, std::uint64_t{0x3f0}); },
       kFLTElfErrorTruncated},
      {"huge program header offset", [&](auto& b) { put(b, 0x20, ~std::uint64_t{0}); },
       kFLTElfErrorTruncated},
      {"tiny program header entries", [&](auto& b) { put(b, 0x36, std::uint16_t{8}); },
       kFLTElfErrorMalformed},
      {"note past end", [&](auto& b) { put(b, 0x40 + 56 + 32, std::uint64_t{0x1000}); },
       kFLTElfErrorTruncated},
      {"needed name outside strings", [&](auto& b) { put(b, 0x148, std::uint64_t{400}); },
       kFLTElfErrorMalformed},
      {"string table outside file", [&](auto& b) { put(b, 0x178, std::uint64_t{0x10000}); },
       kFLTElfErrorTruncated},
      {"unterminated last name", [&](auto& b) { put(b, 0x188, std::uint64_t{22}); },
       kFLTElfErrorMalformed},
      {"section name table index out of range", [&](auto& b) { put(b, 0x3e, std::uint16_t{40}); },
       kFLTElfErrorMalformed},
      {"section count overflows", [&](auto& b) {
         put(b, 0x3c, std::uint16_t{0});
         put(b, 0x300 + 32, ~std::uint64_t{0});
       },
       kFLTElfErrorTruncated},
      {"section contents past end", [&](auto& b) { put(b, 0x300 + 128 + 24, std::uint64_t{0x3f0}); },
       kFLTElfErrorTruncated},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto bytes = makeSmallElf();
    c.damage(bytes);
    GuardedBytes guarded(bytes);
    auto info = FLTElfReadImage(guarded.span());
    ASSERT_FALSE(info.ok());
    EXPECT_EQ(info.error().code, c.code) << info.error().message;
    EXPECT_EQ(info.error().domain, kFLTElfErrorDomain);
  }
}

TEST(FLTElfReaderTest, FilesThatCannotBeMappedAreRefused) {
  test_support::TempDir dir("flt-elf-test");
  const std::string shortFile = (dir.path() / "short").string();
  const std::uint8_t few[10] = {0x7f, 'E', 'L', 'F'};
  writeAll(shortFile, few);
  const std::string cut = (dir.path() / "cut.so").string();
  const auto bytes = makeSmallElf();
  writeAll(cut, std::span(bytes).first(0x180));
  // A named pipe from a tampered image record: refused at once, not waited on.
  const std::string fifo = (dir.path() / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path :
       {shortFile, dir.path().string(), (dir.path() / "missing").string(), fifo}) {
    SCOPED_TRACE(path);
    auto binary = FLTElfBinary::binaryWithPath(path);
    ASSERT_FALSE(binary.ok());
    EXPECT_EQ(binary.error().code, kFLTElfErrorUnreadable);
  }
  auto truncated = FLTElfBinary::binaryWithPath(cut);
  ASSERT_FALSE(truncated.ok());
  EXPECT_EQ(truncated.error().code, kFLTElfErrorTruncated);
  EXPECT_NE(truncated.error().message.find(cut), std::string::npos);
}

TEST(FLTElfReaderTest, EhFrameHeaderPointerEncodings) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> header;
    std::uintptr_t address;
    std::uintptr_t expected;
  };
  const std::vector<Case> cases = {
      {"pcrel sdata4 backwards", {1, 0x1b, 0xff, 0xff, 0xf0, 0xff, 0xff, 0xff}, 0x10000, 0x10000 + 4 - 16},
      {"datarel udata4", {1, 0x33, 0xff, 0xff, 0x20, 0, 0, 0}, 0x5000, 0x5020},
      {"absolute udata8", {1, 0x04, 0xff, 0xff, 0x00, 0x10, 0, 0, 0, 0, 0, 0}, 0x1, 0x1000},
      {"pointer cut off", {1, 0x1b, 0xff, 0xff, 0x10, 0}, 0x1000, 0},
      {"wrong version", {2, 0x1b, 0xff, 0xff, 0x10, 0, 0, 0}, 0x1000, 0},
      {"omitted pointer", {1, 0xff, 0xff, 0xff}, 0x1000, 0},
      {"indirect pointer", {1, 0x9b, 0xff, 0xff, 0x10, 0, 0, 0}, 0x1000, 0},
      {"leb128 pointer", {1, 0x01, 0xff, 0xff, 0x10}, 0x1000, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FLTElfEhFrameFromHeader(c.header, c.address), c.expected);
  }
}

TEST(FLTElfReaderTest, DebugFileIsFoundByBuildIDAndMustCarryIt) {
  test_support::TempDir dir("flt-elf-debug");
  const auto bytes = makeSmallElf();
  const std::string good = FLTElfDebugFile::pathForBuildID(dir.path().string(), "DEADBEEF01020304");
  EXPECT_EQ(good, dir.path().string() + "/.build-id/de/adbeef01020304.debug");
  std::filesystem::create_directories(std::filesystem::path(good).parent_path());
  writeAll(good, bytes);
  const std::vector<std::string> roots = {(dir.path() / "nowhere").string(), dir.path().string()};
  auto found = FLTElfDebugFile::debugFileForBuildID("deadbeef01020304", roots);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->path(), good);
  EXPECT_EQ(found->binary().info().soname, "libsmall.so");

  // A file under another id's name is not that id's debug file.
  const std::string wrong = FLTElfDebugFile::pathForBuildID(dir.path().string(), "00112233");
  std::filesystem::create_directories(std::filesystem::path(wrong).parent_path());
  writeAll(wrong, bytes);
  EXPECT_FALSE(FLTElfDebugFile::debugFileForBuildID("00112233", roots).has_value());
  EXPECT_FALSE(FLTElfDebugFile::debugFileForBuildID("../../etc", roots).has_value());
  EXPECT_EQ(FLTElfDebugFile::pathForBuildID("/r", "ab"), "");
}

TEST(FLTElfReaderTest, ArchitectureNames) {
  EXPECT_EQ(FLTElfArchitectureName(EM_X86_64, true), "x86_64");
  EXPECT_EQ(FLTElfArchitectureName(EM_AARCH64, true), "arm64");
  EXPECT_EQ(FLTElfArchitectureName(EM_386, false), "i386");
  EXPECT_EQ(FLTElfArchitectureName(0x7777, true), "unknown");
}

}  // namespace
}  // namespace vandrel::crash
