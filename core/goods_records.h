#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace vandrel::core {

// The plans and payment channels of the "/goods" reply, kept in the cache
// as "GoodsModelCache". Plain values, coded by the rules of
// catalogue_records.h. Unlike the catalogue records these have required
// fields (plain members): a record without them does not decode, and
// encoding always writes them.

// One detail line of a plan.
struct DetailsItem {
  std::optional<std::string> icon_url;
  std::optional<std::string> info;

  static platform::Result<DetailsItem> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

// One plan.
struct GoodsItem {
  std::int64_t present_price = 0;
  std::int64_t regular_price = 0;
  std::optional<std::string> name;
  std::optional<std::string> iap_id;
  std::optional<std::string> appStorePrice;
  std::optional<std::vector<DetailsItem>> details;
  std::int64_t service_days = 0;
  std::int64_t id = 0;
  std::optional<std::string> currencyCode;
  std::string type;

  static platform::Result<GoodsItem> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

// One QR-code payment channel.
struct Qr_paymentsItem {
  std::optional<std::string> pay_channel_name;
  std::optional<std::string> icon_sel;
  bool open_link = false;
  std::optional<std::string> icon_nor;
  std::optional<std::string> pay_channel;
  std::optional<std::string> promotion;
  std::optional<std::int64_t> requestTime;
  std::optional<std::string> qrCodeURL;
  std::optional<std::int64_t> chargesId;
  std::optional<bool> isLoading;

  static platform::Result<Qr_paymentsItem> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

// The reply of "/goods". An absent list differs from an empty one.
struct GoodsModel {
  std::optional<std::vector<Qr_paymentsItem>> qr_payments;
  std::int64_t code = 0;
  std::optional<std::vector<GoodsItem>> goods;
  std::optional<std::vector<std::string>> payments;
  std::optional<std::string> status;

  static platform::Result<GoodsModel> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

}  // namespace vandrel::core
