// Table YLScratchVolume: scratch volumes of the pools.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLScratchVolume_t {
  int id;
  int PhysicalVolumeId;
  int RVScratchVolumePoolId;
  int Flags;
  int LockedByJobId;
  ZR_RECORD_DECLARE(YLScratchVolume_t)
};

struct ZR_EXPORT YLScratchVolume_def {
  using Record = YLScratchVolume_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),    ZR_COLUMN(PhysicalVolumeId), ZR_COLUMN(RVScratchVolumePoolId),
      ZR_COLUMN(Flags), ZR_COLUMN(LockedByJobId),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"YLPhysicalVolume", {{"PhysicalVolumeId", "id"}}},
      {"YLScratchPool", {{"RVScratchVolumePoolId", "id"}}},
  };
  static constexpr std::span<const db::IndexDef> indexes{};
  static constexpr db::TableDef table{
      .name = "YLScratchVolume",
      .version = "1.11.304.1",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLScratchVolume",
      .logLine = 476,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLScratchVolume_t, YLScratchVolume_def)

class ZR_EXPORT YLScratchVolume_t2 final : public db::RowDescriptor<YLScratchVolume_def> {};

class ZR_EXPORT YLScratchVolume final : public db::TableBinding<YLScratchVolume_t, YLScratchVolume_def, YLScratchVolume_t2> {
 public:
  using TableBinding::TableBinding;
};
