#pragma once

// Who the running application is, as every kit request and report tells it:
// the executable's identity (instance identifier), bundle facts, UUIDs, and
// the hex and hash helpers the whole kit shares.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sync.h"
#include "platform/value.h"

namespace vandrel::platform {
class Bundle;
}

namespace vandrel::crash {

// ---- UUIDs, bundle facts ------------------------------------------------------

// A new random (version 4) UUID: upper-case hex with dashes, 36 characters.
std::string TRLCreateUUIDString();

// The bundle's identifier with every "/" replaced by "_" (safe as a folder
// name). Empty when the bundle has none.
std::string TRLBundleIdentifierNamespace();
std::string TRLBundleIdentifierNamespace(const platform::Bundle& bundle);

// Info "CFBundleVersion" / "CFBundleShortVersionString"; absent when missing
// or not a string.
std::optional<std::string> TRLBundleBuildVersion();
std::optional<std::string> TRLBundleBuildVersion(const platform::Bundle& bundle);
std::optional<std::string> TRLBundleDisplayVersion();
std::optional<std::string> TRLBundleDisplayVersion(const platform::Bundle& bundle);
// "CFBundleDisplayName", else "CFBundleName", else the build version.
std::optional<std::string> TRLBundleDisplayName();
std::optional<std::string> TRLBundleDisplayName(const platform::Bundle& bundle);

// The "source" value requests carry.
inline constexpr int kTRLInstallationSourceDefault = 1;
inline constexpr int kTRLInstallationSourceSignedForDistribution = 3;
inline constexpr int kTRLInstallationSourceAppStore = 4;
inline constexpr std::string_view kTRLSignedForDistributionInfoKey = "FaultlineSignedForDistribution";
// Where a store receipt sits inside the bundle (below Contents/).
inline constexpr std::string_view kTRLAppStoreReceiptRelativePath = "_MASReceipt/receipt";

// 4 when the bundle's store receipt file exists; else 3 when Info
// "FaultlineSignedForDistribution" is true; else 1.
int TRLInstallationSource();
int TRLInstallationSource(const platform::Bundle& bundle);

inline constexpr std::string_view kTRLReportIdentifiersKey = "ReportIdentifiers";
inline constexpr std::string_view kTRLCollectDeviceIdentifiersInfoKey =
    "FaultlineCollectDeviceIdentifiers";

// False in the registry's ready-notification mode; else Info
// "Trellis"/"ReportIdentifiers" when present; else Info
// "FaultlineCollectDeviceIdentifiers" when present; else true. The no-argument
// form asks the process's registry and main bundle.
bool TRLShouldCollectDeviceIdentifiers();
bool TRLShouldCollectDeviceIdentifiers(bool beaconMode, const platform::Value::Dictionary& info);

// ---- hex and hashes -----------------------------------------------------------

// Two lower-case hex characters into out[0..1]; no terminator.
void TRLHexByte(std::uint8_t byte, char* out);
// Zero-fills out[0 .. 2*length] (2*length + 1 bytes), then writes two
// lower-case hex characters per byte.
void TRLHexEncode(const std::uint8_t* bytes, std::size_t length, char* out);
std::string TRLHexStringFromData(std::span<const std::uint8_t> data);
// 32 lower-case hex characters.
std::string TRLHexStringFromUUIDBytes(const std::uint8_t (&uuid)[16]);

// 40 lower-case hex characters.
std::string TRLSHA1HexOfBytes(const void* bytes, std::size_t length);
std::string TRLSHA1HexOfData(std::span<const std::uint8_t> data);
std::string TRLSHA1HexOfData(std::string_view data);
// 64 lower-case hex characters.
std::string TRLSHA256HexOfBytes(const void* bytes, std::size_t length);
std::string TRLSHA256HexOfData(std::span<const std::uint8_t> data);
std::string TRLSHA256HexOfData(std::string_view data);

struct TRLByteRange {
  std::size_t location = 0;
  std::size_t length = 0;
};
// Called once per contiguous range; setting `stop` ends the walk.
using TRLByteRangeBlock =
    std::function<void(const std::uint8_t* bytes, TRLByteRange range, bool& stop)>;
// Contiguous data: one call with all bytes, range {0, size} (also when empty).
void TRLEnumerateByteRanges(std::span<const std::uint8_t> data, const TRLByteRangeBlock& block);
// Data held in pieces: one call per piece, ranges counted over the whole.
void TRLEnumerateByteRanges(const std::vector<std::span<const std::uint8_t>>& pieces,
                            const TRLByteRangeBlock& block);

// ---- executable identity ------------------------------------------------------

// The ELF "GNU" build-id note (NT_GNU_BUILD_ID) found in a block of ELF
// notes (the content of a PT_NOTE segment); absent when there is none or
// the notes are malformed. `alignment` is the segment's (4 or 8).
std::optional<std::vector<std::uint8_t>> TRLBuildIDFromNotes(std::span<const std::uint8_t> notes,
                                                             std::size_t alignment = 4);
// The build-id of the main executable as loaded in this process; absent
// when it carries none.
std::optional<std::vector<std::uint8_t>> TRLMainExecutableBuildID();
// The architecture name of this build ("x86_64", "arm64", "i386", ...).
std::string_view TRLCurrentArchitectureName();

struct TRLVersionTriple {
  std::int32_t major = 0;
  std::int32_t minor = 0;
  std::int32_t patch = 0;
  bool operator==(const TRLVersionTriple&) const = default;
};
// "%d.%d.%d".
std::string TRLVersionTripleString(const TRLVersionTriple& version);

// What is read from the main executable: for each architecture slice, its
// image identifier as lower-case hex; and the SDK versions it declares.
struct TRLExecutableInfo {
  std::map<std::string, std::string> architectureUUIDMap;
  TRLVersionTriple builtSDK;
  TRLVersionTriple minimumSDK;
};
// Absent when the executable cannot be read.
using TRLExecutableInfoSource = std::function<std::optional<TRLExecutableInfo>()>;
// The running executable: one slice named after this build's architecture
// holding its ELF build-id (no slice when it has none). ELF declares no SDK
// versions, so both triples stay 0.0.0.
std::optional<TRLExecutableInfo> TRLReadMainExecutableInfo();

class TRLIcon;

// Immutable once made; safe to share between threads.
class TRLApplicationIdentifierModel {
 public:
  // nullptr when the executable facts cannot be read. The bundle identifier
  // is TRLBundleIdentifierNamespace of the main bundle.
  static std::unique_ptr<TRLApplicationIdentifierModel> initWithInstallID(std::string_view installID);
  static std::unique_ptr<TRLApplicationIdentifierModel> initWithInstallID(
      std::string_view installID, const TRLExecutableInfoSource& executableInfo,
      std::string_view bundleIdentifierNamespace);

  const std::map<std::string, std::string>& architectureUUIDMap() const { return architectureUUIDMap_; }
  const std::string& installID() const { return installID_; }
  const std::string& bundleIdentifier() const { return bundleIdentifier_; }
  // SHA-1 hex of the slice identifiers concatenated in the sorted order of
  // their architecture names: the same executable always gives the same
  // value, a rebuilt one a new value.
  const std::string& instanceIdentifier() const { return instanceIdentifier_; }
  TRLVersionTriple builtSDK() const { return builtSDK_; }
  TRLVersionTriple minimumSDK() const { return minimumSDK_; }
  std::string builtSDKString() const { return TRLVersionTripleString(builtSDK_); }
  std::string minimumSDKString() const { return TRLVersionTripleString(minimumSDK_); }
  // A fresh TRLAppIconUtility's applicationIcon.
  std::optional<TRLIcon> icon() const;

 private:
  TRLApplicationIdentifierModel() = default;
  bool computeExecutableInfo(const TRLExecutableInfoSource& source);
  bool computeInstanceIdentifier();

  std::map<std::string, std::string> architectureUUIDMap_;
  std::string installID_;
  std::string bundleIdentifier_;
  std::string instanceIdentifier_;
  TRLVersionTriple builtSDK_;
  TRLVersionTriple minimumSDK_;
};

// ---- application icon ---------------------------------------------------------

// An image as the application hands it over: PNG bytes and the size in
// points.
struct TRLIconImage {
  std::vector<std::uint8_t> pngData;
  double width = 0;
  double height = 0;
};

inline constexpr double kTRLIconMaxSurfaceArea = 1048576.0;  // 1024 x 1024

class TRLIcon {
 public:
  TRLIcon(std::vector<std::uint8_t> data, std::string dataHash, double width, double height,
          bool prerendered);
  // Hash = SHA-1 hex of `data`.
  TRLIcon(std::vector<std::uint8_t> data, double width, double height, bool prerendered = true);
  // Absent when the image has no PNG bytes.
  static std::optional<TRLIcon> initWithImage(const TRLIconImage& image);

  bool prerendered() const { return prerendered_; }
  const std::vector<std::uint8_t>& data() const { return data_; }
  const std::string& dataHash() const { return dataHash_; }
  double width() const { return width_; }
  double height() const { return height_; }
  double surfaceArea() const { return width_ * height_; }
  bool isWithinMaxSurfaceArea() const { return surfaceArea() <= kTRLIconMaxSurfaceArea; }
  bool largerThanSize(double width, double height) const { return surfaceArea() > width * height; }

 private:
  bool prerendered_;
  std::vector<std::uint8_t> data_;
  std::string dataHash_;
  double width_;
  double height_;
};

// The application's icon. The application (the only layer that draws)
// registers where its icon comes from; without a source there is none.
// Thread-safe.
class TRLAppIconUtility {
 public:
  using IconSource = std::function<std::optional<TRLIconImage>()>;
  static void setMainAppIconSource(IconSource source);

  TRLAppIconUtility();
  explicit TRLAppIconUtility(IconSource source);

  // Fetched on first read.
  std::optional<TRLIcon> applicationIcon();
  void setApplicationIcon(std::optional<TRLIcon> icon);
  std::optional<TRLIconImage> mainAppIcon() const;
  std::optional<TRLIcon> fetchApplicationIcon() const;
  static const platform::Value::Dictionary& appInfoDictionary();

 private:
  const IconSource source_;
  mutable platform::Mutex mutex_;
  bool fetched_ VANDREL_GUARDED_BY(mutex_) = false;
  std::optional<TRLIcon> icon_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::crash
