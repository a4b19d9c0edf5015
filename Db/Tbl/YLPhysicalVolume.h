// Table YLPhysicalVolume: physical volumes behind replicated volumes.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLPhysicalVolume_t {
  int id;
  char UniqueId[257];
  int UniqueIdType;
  int LUN;
  long long StartLBA;
  long long BlockCount;
  int BlockSize;
  int Flags;
  char FSType[129];
  char UniqueSnapshotID[2049];
  int ApplianceId;
  int EVState;
  int CostCategoryId;
  int Type;
  ZR_RECORD_DECLARE(YLPhysicalVolume_t)
};

struct ZR_EXPORT YLPhysicalVolume_def {
  using Record = YLPhysicalVolume_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),
      ZR_COLUMN(UniqueId),
      ZR_COLUMN(UniqueIdType),
      ZR_COLUMN(LUN),
      ZR_COLUMN(StartLBA),
      ZR_COLUMN(BlockCount),
      ZR_COLUMN(BlockSize),
      ZR_COLUMN(Flags),
      ZR_COLUMN(FSType),
      ZR_COLUMN(UniqueSnapshotID),
      ZR_COLUMN(ApplianceId),
      ZR_COLUMN(EVState),
      ZR_COLUMN(CostCategoryId),
      ZR_COLUMN(Type),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"YLDevice", {{"ApplianceId", "id"}}},
  };
  static constexpr std::span<const db::IndexDef> indexes{};
  static constexpr db::TableDef table{
      .name = "YLPhysicalVolume",
      .version = "1.16.304.3",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLPhysicalVolume",
      .logLine = 574,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLPhysicalVolume_t, YLPhysicalVolume_def)

class ZR_EXPORT YLPhysicalVolume_t2 final : public db::RowDescriptor<YLPhysicalVolume_def> {};

class ZR_EXPORT YLPhysicalVolume final : public db::TableBinding<YLPhysicalVolume_t, YLPhysicalVolume_def, YLPhysicalVolume_t2> {
 public:
  using TableBinding::TableBinding;
};
