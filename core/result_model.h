#pragma once

#include <optional>
#include <string_view>
#include <utility>

#include "core/result_data.h"

namespace vandrel::core {

struct RegionsModel;
struct MiscInfoModel;
struct GoodsModel;
struct StaticDataModel;

// The unqualified name of a record type that callers decode from a result,
// as the debug lines of toModel name it.
template <typename T>
struct ModelTypeName;
template <>
struct ModelTypeName<RegionsModel> {
  static constexpr std::string_view value = "RegionsModel";
};
template <>
struct ModelTypeName<MiscInfoModel> {
  static constexpr std::string_view value = "MiscInfoModel";
};
template <>
struct ModelTypeName<GoodsModel> {
  static constexpr std::string_view value = "GoodsModel";
};
template <>
struct ModelTypeName<StaticDataModel> {
  static constexpr std::string_view value = "StaticDataModel";
};

namespace result_model_detail {
// "[DEBUG]: toModelError: " + the type's name, and, when decoding failed,
// a second line with the decoder's message.
void logToModelError(std::string_view typeName, const std::string* decodeError);
}  // namespace result_model_detail

// Decodes the raw reply body of a successful result into T (the record's
// keys are the reply object's top-level keys). A failed result gives none
// without decoding; an undecodable body gives none. Both write debug lines.
template <typename T>
requires requires { ModelTypeName<T>::value; }
std::optional<T> toModel(const ResultData& result) {
  if (!result.isSuccess) {
    result_model_detail::logToModelError(ModelTypeName<T>::value, nullptr);
    return std::nullopt;
  }
  auto decoded = T::fromJsonText(result.response);
  if (!decoded.ok()) {
    result_model_detail::logToModelError(ModelTypeName<T>::value, &decoded.error().message);
    return std::nullopt;
  }
  return std::move(decoded).value();
}

}  // namespace vandrel::core
