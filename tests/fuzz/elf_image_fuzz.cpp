// The ELF reader over hostile files: the binary-image registry, the
// unwinder and symbolication read images from disk (a library replaced, a
// debug file of the same build-id), so every table is checked against the
// file. Whatever the bytes, reading gives an error or an image whose
// build-id is clean hex and whose sections lie inside the file.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "crash/unwind/flt_elf_reader.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace crash = vandrel::crash;

void checkImage(const crash::FLTElfImageInfo& info) {
  VANDREL_FUZZ_CHECK(info.buildID.size() % 2 == 0 &&
                         info.buildID.size() <= 2 * crash::kFLTElfMaxBuildIDBytes,
                     info.buildID);
  VANDREL_FUZZ_CHECK(info.buildID.find_first_not_of("0123456789abcdef") == std::string::npos,
                     info.buildID);
  VANDREL_FUZZ_CHECK(!info.architecture.empty(), "an image without an architecture name");
  (void)crash::FLTElfDebugFile::pathForBuildID("/nonexistent", info.buildID);
}

void checkSection(const crash::FLTElfBinary& binary, const crash::FLTElfSection& section) {
  const auto data = binary.sectionData(section);
  if (data.empty()) return;
  const auto all = binary.bytes();
  VANDREL_FUZZ_CHECK(data.data() >= all.data() && data.data() + data.size() <= all.data() + all.size(),
                     "a section outside the file");
  VANDREL_FUZZ_CHECK(data.size() == section.size, "a section cut to another size");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vandrel::fuzz::scratchHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  auto image = crash::FLTElfReadImage(bytes);
  if (image.ok()) checkImage(image.value());

  // The same bytes as a file, mapped as the registry maps images.
  const auto path = vandrel::fuzz::scratchHome() / "tmp" / "image.so";
  vandrel::fuzz::writeFile(path, vandrel::fuzz::asText(data, size));
  auto binary = crash::FLTElfBinary::binaryWithPath(path.string());
  VANDREL_FUZZ_CHECK(binary.ok() == image.ok() || size < 16,
                     "the file and the bytes read differently");
  if (binary.ok()) {
    const auto& info = binary.value().info();
    checkImage(info);
    for (const auto* section : {&info.ehFrame, &info.ehFrameHdr, &info.symtab, &info.strtab,
                                &info.dynsym, &info.dynstr}) {
      checkSection(binary.value(), *section);
    }
    const auto header = binary.value().sectionData(info.ehFrameHdr);
    (void)crash::FLTElfEhFrameFromHeader(header, reinterpret_cast<std::uintptr_t>(header.data()));
  }

  // The bytes as an .eh_frame_hdr and as a build-id.
  (void)crash::FLTElfEhFrameFromHeader(bytes, 0x400000);
  (void)crash::FLTElfDebugFile::pathForBuildID("/nonexistent", vandrel::fuzz::asText(data, size));
  return 0;
}
