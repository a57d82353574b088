#include "crash/kit/trl_application_identity.h"

#include <elf.h>
#include <link.h>
#include <sys/random.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "crash/kit/flt_data_collection_arbiter.h"
#include "crash/kit/trellis.h"
#include "platform/bundle.h"
#include "platform/check.h"

namespace vandrel::crash {
namespace {

using platform::Value;

constexpr char kHexDigits[] = "0123456789abcdef";

std::optional<bool> infoBool(const Value::Dictionary& info, std::string_view key) {
  const auto it = info.find(std::string(key));
  if (it == info.end()) return std::nullopt;
  return FLTBoolValue(it->second);
}

// The digest of `length` bytes as lower-case hex.
std::string digestHex(const EVP_MD* md, const void* bytes, std::size_t length) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  static const unsigned char kEmpty = 0;
  const int ok = EVP_Digest(length == 0 ? &kEmpty : bytes, length, digest, &size, md, nullptr);
  VANDREL_CHECK(ok == 1, "digest failed");
  return TRLHexStringFromData(std::span<const std::uint8_t>(digest, size));
}

std::size_t alignUp(std::size_t value, std::size_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

std::uint32_t readWord(const std::uint8_t* at) {
  std::uint32_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

struct BuildIDSearch {
  bool visited = false;
  std::optional<std::vector<std::uint8_t>> buildID;
};

int findMainBuildID(struct dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<BuildIDSearch*>(data);
  // The first object reported is the main program.
  search->visited = true;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_NOTE) continue;
    const auto* notes = reinterpret_cast<const std::uint8_t*>(info->dlpi_addr + header.p_vaddr);
    const std::size_t alignment = header.p_align == 8 ? 8 : 4;
    if (auto id = TRLBuildIDFromNotes(std::span(notes, header.p_memsz), alignment)) {
      search->buildID = std::move(id);
      break;
    }
  }
  return 1;
}

}  // namespace

// ---- UUIDs, bundle facts ------------------------------------------------------

std::string TRLCreateUUIDString() {
  std::uint8_t bytes[16];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    VANDREL_CHECK(got > 0, "getrandom failed");
    filled += static_cast<std::size_t>(got);
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  static constexpr char kUpper[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < sizeof bytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kUpper[bytes[i] >> 4]);
    out.push_back(kUpper[bytes[i] & 0x0f]);
  }
  return out;
}

std::string TRLBundleIdentifierNamespace() { return TRLBundleIdentifierNamespace(platform::Bundle::main()); }

std::string TRLBundleIdentifierNamespace(const platform::Bundle& bundle) {
  std::string identifier = bundle.bundleIdentifier();
  std::replace(identifier.begin(), identifier.end(), '/', '_');
  return identifier;
}

std::optional<std::string> TRLBundleBuildVersion() { return TRLBundleBuildVersion(platform::Bundle::main()); }

std::optional<std::string> TRLBundleBuildVersion(const platform::Bundle& bundle) {
  return bundle.infoString("CFBundleVersion");
}

std::optional<std::string> TRLBundleDisplayVersion() {
  return TRLBundleDisplayVersion(platform::Bundle::main());
}

std::optional<std::string> TRLBundleDisplayVersion(const platform::Bundle& bundle) {
  return bundle.infoString("CFBundleShortVersionString");
}

std::optional<std::string> TRLBundleDisplayName() { return TRLBundleDisplayName(platform::Bundle::main()); }

std::optional<std::string> TRLBundleDisplayName(const platform::Bundle& bundle) {
  if (auto name = bundle.infoString("CFBundleDisplayName")) return name;
  if (auto name = bundle.infoString("CFBundleName")) return name;
  return TRLBundleBuildVersion(bundle);
}

int TRLInstallationSource() { return TRLInstallationSource(platform::Bundle::main()); }

int TRLInstallationSource(const platform::Bundle& bundle) {
  std::error_code error;
  if (std::filesystem::exists(bundle.contentsPath() / kTRLAppStoreReceiptRelativePath, error)) {
    return kTRLInstallationSourceAppStore;
  }
  if (infoBool(bundle.infoDictionary(), kTRLSignedForDistributionInfoKey).value_or(false)) {
    return kTRLInstallationSourceSignedForDistribution;
  }
  return kTRLInstallationSourceDefault;
}

bool TRLShouldCollectDeviceIdentifiers() {
  return TRLShouldCollectDeviceIdentifiers(Trellis::sharedSDK().beaconMode(),
                                           platform::Bundle::main().infoDictionary());
}

bool TRLShouldCollectDeviceIdentifiers(bool beaconMode, const Value::Dictionary& info) {
  if (beaconMode) return false;
  if (const auto it = info.find(std::string(kTrellisInfoKey)); it != info.end()) {
    if (const Value* report = it->second.find(kTRLReportIdentifiersKey)) {
      if (auto b = FLTBoolValue(*report)) return *b;
    }
  }
  return infoBool(info, kTRLCollectDeviceIdentifiersInfoKey).value_or(true);
}

// ---- hex and hashes -----------------------------------------------------------

void TRLHexByte(std::uint8_t byte, char* out) {
  out[0] = kHexDigits[byte >> 4];
  out[1] = kHexDigits[byte & 0x0f];
}

void TRLHexEncode(const std::uint8_t* bytes, std::size_t length, char* out) {
  std::memset(out, 0, 2 * length + 1);
  for (std::size_t i = 0; i < length; ++i) TRLHexByte(bytes[i], out + 2 * i);
}

std::string TRLHexStringFromData(std::span<const std::uint8_t> data) {
  std::string out(2 * data.size(), '\0');
  for (std::size_t i = 0; i < data.size(); ++i) TRLHexByte(data[i], out.data() + 2 * i);
  return out;
}

std::string TRLHexStringFromUUIDBytes(const std::uint8_t (&uuid)[16]) {
  return TRLHexStringFromData(std::span<const std::uint8_t>(uuid, 16));
}

std::string TRLSHA1HexOfBytes(const void* bytes, std::size_t length) {
  return digestHex(EVP_sha1(), bytes, length);
}
std::string TRLSHA1HexOfData(std::span<const std::uint8_t> data) {
  return TRLSHA1HexOfBytes(data.data(), data.size());
}
std::string TRLSHA1HexOfData(std::string_view data) { return TRLSHA1HexOfBytes(data.data(), data.size()); }

std::string TRLSHA256HexOfBytes(const void* bytes, std::size_t length) {
  return digestHex(EVP_sha256(), bytes, length);
}
std::string TRLSHA256HexOfData(std::span<const std::uint8_t> data) {
  return TRLSHA256HexOfBytes(data.data(), data.size());
}
std::string TRLSHA256HexOfData(std::string_view data) {
  return TRLSHA256HexOfBytes(data.data(), data.size());
}

void TRLEnumerateByteRanges(std::span<const std::uint8_t> data, const TRLByteRangeBlock& block) {
  bool stop = false;
  block(data.data(), TRLByteRange{0, data.size()}, stop);
}

void TRLEnumerateByteRanges(const std::vector<std::span<const std::uint8_t>>& pieces,
                            const TRLByteRangeBlock& block) {
  std::size_t location = 0;
  for (const auto& piece : pieces) {
    bool stop = false;
    block(piece.data(), TRLByteRange{location, piece.size()}, stop);
    if (stop) return;
    location += piece.size();
  }
}

// ---- executable identity ------------------------------------------------------

std::optional<std::vector<std::uint8_t>> TRLBuildIDFromNotes(std::span<const std::uint8_t> notes,
                                                             std::size_t alignment) {
  if (alignment != 4 && alignment != 8) return std::nullopt;
  static constexpr char kGNU[] = "GNU";  // with its terminator: namesz 4
  std::size_t offset = 0;
  while (notes.size() - offset >= 12) {
    const std::uint32_t nameSize = readWord(notes.data() + offset);
    const std::uint32_t descSize = readWord(notes.data() + offset + 4);
    const std::uint32_t type = readWord(notes.data() + offset + 8);
    // Padding is to the alignment of offsets within the segment.
    const std::size_t nameAt = offset + 12;
    if (nameSize > notes.size() - nameAt) return std::nullopt;
    const std::size_t descAt = alignUp(nameAt + nameSize, alignment);
    if (descAt > notes.size() || descSize > notes.size() - descAt) return std::nullopt;
    if (type == NT_GNU_BUILD_ID && nameSize == sizeof kGNU &&
        std::memcmp(notes.data() + nameAt, kGNU, sizeof kGNU) == 0) {
      if (descSize == 0) return std::nullopt;
      return std::vector<std::uint8_t>(notes.begin() + static_cast<std::ptrdiff_t>(descAt),
                                       notes.begin() + static_cast<std::ptrdiff_t>(descAt + descSize));
    }
    const std::size_t next = descAt + alignUp(descSize, alignment);
    if (next > notes.size()) break;
    offset = next;
  }
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> TRLMainExecutableBuildID() {
  BuildIDSearch search;
  dl_iterate_phdr(findMainBuildID, &search);
  return search.buildID;
}

std::string_view TRLCurrentArchitectureName() {
#if defined(__x86_64__)
  return "x86_64";
#elif defined(__aarch64__)
  return "arm64";
#elif defined(__i386__)
  return "i386";
#elif defined(__arm__)
  return "armv7";
#else
  return "unknown";
#endif
}

std::string TRLVersionTripleString(const TRLVersionTriple& version) {
  return std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
         std::to_string(version.patch);
}

std::optional<TRLExecutableInfo> TRLReadMainExecutableInfo() {
  BuildIDSearch search;
  dl_iterate_phdr(findMainBuildID, &search);
  if (!search.visited) return std::nullopt;
  TRLExecutableInfo info;
  if (search.buildID) {
    info.architectureUUIDMap.emplace(std::string(TRLCurrentArchitectureName()),
                                     TRLHexStringFromData(*search.buildID));
  }
  return info;
}

std::unique_ptr<TRLApplicationIdentifierModel> TRLApplicationIdentifierModel::initWithInstallID(
    std::string_view installID) {
  return initWithInstallID(installID, TRLReadMainExecutableInfo, TRLBundleIdentifierNamespace());
}

std::unique_ptr<TRLApplicationIdentifierModel> TRLApplicationIdentifierModel::initWithInstallID(
    std::string_view installID, const TRLExecutableInfoSource& executableInfo,
    std::string_view bundleIdentifierNamespace) {
  std::unique_ptr<TRLApplicationIdentifierModel> model(new TRLApplicationIdentifierModel);
  if (!model->computeExecutableInfo(executableInfo) || !model->computeInstanceIdentifier()) {
    return nullptr;
  }
  model->installID_ = std::string(installID);
  model->bundleIdentifier_ = std::string(bundleIdentifierNamespace);
  return model;
}

bool TRLApplicationIdentifierModel::computeExecutableInfo(const TRLExecutableInfoSource& source) {
  std::optional<TRLExecutableInfo> info = source ? source() : std::nullopt;
  if (!info) return false;
  architectureUUIDMap_ = std::move(info->architectureUUIDMap);
  builtSDK_ = info->builtSDK;
  minimumSDK_ = info->minimumSDK;
  return true;
}

bool TRLApplicationIdentifierModel::computeInstanceIdentifier() {
  // std::map iterates its keys in byte-wise sorted order.
  std::string joined;
  for (const auto& [architecture, uuid] : architectureUUIDMap_) joined += uuid;
  instanceIdentifier_ = TRLSHA1HexOfData(std::string_view(joined));
  return true;
}

std::optional<TRLIcon> TRLApplicationIdentifierModel::icon() const {
  return TRLAppIconUtility().applicationIcon();
}

// ---- application icon ---------------------------------------------------------

TRLIcon::TRLIcon(std::vector<std::uint8_t> data, std::string dataHash, double width, double height,
                 bool prerendered)
    : prerendered_(prerendered),
      data_(std::move(data)),
      dataHash_(std::move(dataHash)),
      width_(width),
      height_(height) {}

TRLIcon::TRLIcon(std::vector<std::uint8_t> data, double width, double height, bool prerendered)
    : TRLIcon(data, TRLSHA1HexOfData(std::span<const std::uint8_t>(data)), width, height, prerendered) {}

std::optional<TRLIcon> TRLIcon::initWithImage(const TRLIconImage& image) {
  if (image.pngData.empty()) return std::nullopt;
  return TRLIcon(image.pngData, image.width, image.height, true);
}

namespace {

struct IconSourceSlot {
  platform::Mutex mutex;
  TRLAppIconUtility::IconSource source VANDREL_GUARDED_BY(mutex);
};

IconSourceSlot& iconSourceSlot() {
  static IconSourceSlot* const slot = new IconSourceSlot;
  return *slot;
}

}  // namespace

void TRLAppIconUtility::setMainAppIconSource(IconSource source) {
  IconSourceSlot& slot = iconSourceSlot();
  platform::MutexLock lock(slot.mutex);
  slot.source = std::move(source);
}

TRLAppIconUtility::TRLAppIconUtility()
    : TRLAppIconUtility([]() -> std::optional<TRLIconImage> {
        IconSource source;
        {
          IconSourceSlot& slot = iconSourceSlot();
          platform::MutexLock lock(slot.mutex);
          source = slot.source;
        }
        return source ? source() : std::nullopt;
      }) {}

TRLAppIconUtility::TRLAppIconUtility(IconSource source) : source_(std::move(source)) {}

std::optional<TRLIcon> TRLAppIconUtility::applicationIcon() {
  {
    platform::MutexLock lock(mutex_);
    if (fetched_) return icon_;
  }
  std::optional<TRLIcon> fetched = fetchApplicationIcon();
  platform::MutexLock lock(mutex_);
  if (!fetched_) {
    fetched_ = true;
    icon_ = std::move(fetched);
  }
  return icon_;
}

void TRLAppIconUtility::setApplicationIcon(std::optional<TRLIcon> icon) {
  platform::MutexLock lock(mutex_);
  fetched_ = true;
  icon_ = std::move(icon);
}

std::optional<TRLIconImage> TRLAppIconUtility::mainAppIcon() const {
  return source_ ? source_() : std::nullopt;
}

std::optional<TRLIcon> TRLAppIconUtility::fetchApplicationIcon() const {
  const std::optional<TRLIconImage> image = mainAppIcon();
  if (!image) return std::nullopt;
  return TRLIcon::initWithImage(*image);
}

const Value::Dictionary& TRLAppIconUtility::appInfoDictionary() {
  return platform::Bundle::main().infoDictionary();
}

}  // namespace vandrel::crash
