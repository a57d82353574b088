#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace vandrel::core {

// The pinned certificate bundle "icon.xcImage": 149 slots of 2500 bytes
// each (372,500 bytes; anything after that is ignored). A slot holds the
// certificate's length n as decimal ASCII digits in a 10-byte field padded
// with NUL bytes (NULs may stand anywhere in the field), then n bytes of one
// DER certificate, then filler up to the slot's end.
inline constexpr std::string_view kCertBundleResourceName = "icon.xcImage";
inline constexpr std::size_t kCertBundleSlotCount = 149;
inline constexpr std::size_t kCertBundleSlotSize = 2500;
inline constexpr std::size_t kCertBundleLengthFieldSize = 10;
inline constexpr std::size_t kCertBundleMaxCertificateSize =
    kCertBundleSlotSize - kCertBundleLengthFieldSize;
inline constexpr std::size_t kCertBundleSize = kCertBundleSlotCount * kCertBundleSlotSize;

inline constexpr std::string_view kCertBundleErrorDomain = "vandrel.cert-bundle";

// The 149 certificates (DER) in slot order. Fails, naming the slot, when
// the bundle is shorter than 372,500 bytes, or when a slot's length field
// is not a number (digits once the NULs are removed) with 0 < n <= 2490, or
// its n bytes are not exactly one DER X.509 certificate.
platform::Result<std::vector<std::string>> parseCertBundle(std::string_view bytes);

// The bundle holding `derCertificates` in order, repeated from the first
// until all 149 slots are filled. Fails when the list is empty or a
// certificate is not one DER certificate of at most 2490 bytes. Filler
// bytes are NUL.
platform::Result<std::string> packCertBundle(const std::vector<std::string>& derCertificates);

// The certificates of a file's content: every PEM "CERTIFICATE" block in
// order, or, when there is none, the whole content as one DER certificate.
// Fails when nothing in it is a certificate.
platform::Result<std::vector<std::string>> certificatesFromPemOrDer(std::string_view content);

// A new self-signed CA certificate (DER) whose private key is thrown away:
// nothing can ever chain to it. What a build without real certificates
// pins, so it trusts no server rather than failing to build.
platform::Result<std::string> makePlaceholderCertificate(std::string_view commonName);

}  // namespace vandrel::core
