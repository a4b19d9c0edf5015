// Table YLScratchPool: scratch volume pools.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLScratchPool_t {
  int id;
  int TotalVolumes;
  int AvailableVolumes;
  char name[129];
  int Flags;
  int SnapEngineInfoId;
  int Type;
  ZR_RECORD_DECLARE(YLScratchPool_t)
};

struct ZR_EXPORT YLScratchPool_def {
  using Record = YLScratchPool_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),   ZR_COLUMN(TotalVolumes), ZR_COLUMN(AvailableVolumes),
      ZR_COLUMN(name), ZR_COLUMN(Flags),        ZR_COLUMN(SnapEngineInfoId),
      ZR_COLUMN(Type),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"YLSnapEngineInfo", {{"SnapEngineInfoId", "id"}}},
  };
  static constexpr std::span<const db::IndexDef> indexes{};
  static constexpr db::TableDef table{
      .name = "YLScratchPool",
      .version = "1.10.304.3",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLScratchPool",
      .logLine = 495,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLScratchPool_t, YLScratchPool_def)

class ZR_EXPORT YLScratchPool_t2 final : public db::RowDescriptor<YLScratchPool_def> {};

class ZR_EXPORT YLScratchPool final : public db::TableBinding<YLScratchPool_t, YLScratchPool_def, YLScratchPool_t2> {
 public:
  using TableBinding::TableBinding;
};
