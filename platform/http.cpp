#include "platform/http.h"

#include <algorithm>

namespace vandrel::platform {

// ---- Errors ----------------------------------------------------------------

Error makeUrlError(UrlError code) {
  return Error{std::string(kUrlErrorDomain), static_cast<std::int64_t>(code),
               std::string(urlErrorDescription(code))};
}

bool isCancellation(const Error& error) {
  return error.domain == kUrlErrorDomain &&
         error.code == static_cast<std::int64_t>(UrlError::Cancelled);
}

// ---- Headers ---------------------------------------------------------------

namespace {

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}

HttpHeaders::HttpHeaders(std::initializer_list<Field> fields) : fields_(fields) {}

void HttpHeaders::add(std::string name, std::string value) {
  fields_.emplace_back(std::move(name), std::move(value));
}

void HttpHeaders::set(std::string name, std::string value) {
  auto first = std::find_if(fields_.begin(), fields_.end(),
                            [&](const Field& f) { return equalsIgnoringCase(f.first, name); });
  if (first == fields_.end()) {
    add(std::move(name), std::move(value));
    return;
  }
  *first = Field(std::move(name), std::move(value));
  auto keptName = first->first;
  auto rest = std::remove_if(first + 1, fields_.end(), [&](const Field& f) {
    return equalsIgnoringCase(f.first, keptName);
  });
  fields_.erase(rest, fields_.end());
}

void HttpHeaders::remove(std::string_view name) {
  std::erase_if(fields_, [&](const Field& f) { return equalsIgnoringCase(f.first, name); });
}

bool HttpHeaders::contains(std::string_view name) const {
  return std::any_of(fields_.begin(), fields_.end(),
                     [&](const Field& f) { return equalsIgnoringCase(f.first, name); });
}

std::optional<std::string> HttpHeaders::value(std::string_view name) const {
  for (const auto& f : fields_) {
    if (equalsIgnoringCase(f.first, name)) return f.second;
  }
  return std::nullopt;
}

std::vector<std::string> HttpHeaders::values(std::string_view name) const {
  std::vector<std::string> out;
  for (const auto& f : fields_) {
    if (equalsIgnoringCase(f.first, name)) out.push_back(f.second);
  }
  return out;
}

std::optional<std::string> HttpHeaders::joined(std::string_view name) const {
  std::optional<std::string> out;
  for (const auto& f : fields_) {
    if (!equalsIgnoringCase(f.first, name)) continue;
    if (out) {
      out->append(", ").append(f.second);
    } else {
      out = f.second;
    }
  }
  return out;
}

// ---- Encoding --------------------------------------------------------------

std::string percentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

std::string formEncode(const QueryItems& items) {
  std::string out;
  for (const auto& [key, value] : items) {
    if (!out.empty()) out.push_back('&');
    out += percentEncode(key);
    out.push_back('=');
    out += percentEncode(value);
  }
  return out;
}

std::string appendQuery(std::string_view url, const QueryItems& items) {
  if (items.empty()) return std::string(url);
  auto hash = url.find('#');
  std::string_view base = url.substr(0, hash);
  std::string_view fragment = hash == std::string_view::npos ? std::string_view{} : url.substr(hash);
  std::string out(base);
  if (base.find('?') == std::string_view::npos) {
    out.push_back('?');
  } else if (base.back() != '?' && base.back() != '&') {
    out.push_back('&');
  }
  out += formEncode(items);
  out += fragment;
  return out;
}

// ---- Bodies ----------------------------------------------------------------

HttpBody HttpBody::bytes(std::string data) {
  HttpBody body;
  body.kind = Kind::Bytes;
  body.data = std::move(data);
  return body;
}

HttpBody HttpBody::file(std::string path) {
  HttpBody body;
  body.kind = Kind::File;
  body.path = std::move(path);
  return body;
}

HttpBody HttpBody::multipart(std::vector<MultipartPart> parts) {
  HttpBody body;
  body.kind = Kind::Multipart;
  body.parts = std::move(parts);
  return body;
}

}  // namespace vandrel::platform
