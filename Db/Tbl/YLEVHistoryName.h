// Table YLEVHistoryName: history names of devices.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLEVHistoryName_t {
  int DeviceId;
  char GlobalHistoryName[1025];
  int Flags;
  ZR_RECORD_DECLARE(YLEVHistoryName_t)
};

struct ZR_EXPORT YLEVHistoryName_def {
  using Record = YLEVHistoryName_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(DeviceId),
      ZR_COLUMN(GlobalHistoryName),
      ZR_COLUMN(Flags),
  };
  static constexpr const char* primaryKey[] = {"DeviceId"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"YLPhysicalDevice", {{"DeviceId", "id"}}},
  };
  static constexpr std::span<const db::IndexDef> indexes{};
  static constexpr db::TableDef table{
      .name = "YLEVHistoryName",
      .version = "1.5.304.2",
      .keyColumn = "",
      .keyValueIsId = false,
      .defaultOrder = "DeviceId",
      .headerPath = "Db/Tbl/YLEVHistoryName",
      .logLine = 445,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLEVHistoryName_t, YLEVHistoryName_def)

class ZR_EXPORT YLEVHistoryName_t2 final : public db::RowDescriptor<YLEVHistoryName_def> {};

class ZR_EXPORT YLEVHistoryName final : public db::TableBinding<YLEVHistoryName_t, YLEVHistoryName_def, YLEVHistoryName_t2> {
 public:
  using TableBinding::TableBinding;
};
