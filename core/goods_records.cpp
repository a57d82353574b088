#include "core/goods_records.h"

#include "core/record_json.h"

namespace vandrel::core::record_json {

template <>
struct RecordFields<DetailsItem> {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("icon_url", r.icon_url);
    field("info", r.info);
  }
};

template <>
struct RecordFields<GoodsItem> {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("present_price", r.present_price);
    field("regular_price", r.regular_price);
    field("name", r.name);
    field("iap_id", r.iap_id);
    field("appStorePrice", r.appStorePrice);
    field("details", r.details);
    field("service_days", r.service_days);
    field("id", r.id);
    field("currencyCode", r.currencyCode);
    field("type", r.type);
  }
};

template <>
struct RecordFields<Qr_paymentsItem> {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("pay_channel_name", r.pay_channel_name);
    field("icon_sel", r.icon_sel);
    field("open_link", r.open_link);
    field("icon_nor", r.icon_nor);
    field("pay_channel", r.pay_channel);
    field("promotion", r.promotion);
    field("requestTime", r.requestTime);
    field("qrCodeURL", r.qrCodeURL);
    field("chargesId", r.chargesId);
    field("isLoading", r.isLoading);
  }
};

template <>
struct RecordFields<GoodsModel> {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("qr_payments", r.qr_payments);
    field("code", r.code);
    field("goods", r.goods);
    field("payments", r.payments);
    field("status", r.status);
  }
};

}  // namespace vandrel::core::record_json

namespace vandrel::core {

VANDREL_DEFINE_RECORD_JSON_TEXT(DetailsItem)
VANDREL_DEFINE_RECORD_JSON_TEXT(GoodsItem)
VANDREL_DEFINE_RECORD_JSON_TEXT(Qr_paymentsItem)
VANDREL_DEFINE_RECORD_JSON_TEXT(GoodsModel)

}  // namespace vandrel::core
