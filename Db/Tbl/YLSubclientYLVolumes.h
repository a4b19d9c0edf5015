// Table YLSubclientYLVolumes: replicated volumes of subclients.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLSubclientYLVolumes_t {
  int id;
  int Scid;
  int YLVolumeId;
  int Flags;
  ZR_RECORD_DECLARE(YLSubclientYLVolumes_t)
};

struct ZR_EXPORT YLSubclientYLVolumes_def {
  using Record = YLSubclientYLVolumes_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),
      ZR_COLUMN(Scid),
      ZR_COLUMN(YLVolumeId),
      ZR_COLUMN(Flags),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"YLVolume", {{"YLVolumeId", "id"}}},
  };
  static constexpr std::span<const db::IndexDef> indexes{};
  static constexpr db::TableDef table{
      .name = "YLSubclientYLVolumes",
      .version = "1.1.304.1",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLSubclientYLVolumes",
      .logLine = 459,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLSubclientYLVolumes_t, YLSubclientYLVolumes_def)

class ZR_EXPORT YLSubclientYLVolumes_t2 final : public db::RowDescriptor<YLSubclientYLVolumes_def> {};

class ZR_EXPORT YLSubclientYLVolumes final : public db::TableBinding<YLSubclientYLVolumes_t, YLSubclientYLVolumes_def, YLSubclientYLVolumes_t2> {
 public:
  using TableBinding::TableBinding;
};
