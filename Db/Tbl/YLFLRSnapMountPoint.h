// Table YLFLRSnapMountPoint: mount points of FLR snapshots.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLFLRSnapMountPoint_t {
  int id;
  int SnapshotId;
  char MountPath[1025];
  int Flags;
  ZR_RECORD_DECLARE(YLFLRSnapMountPoint_t)
};

struct ZR_EXPORT YLFLRSnapMountPoint_def {
  using Record = YLFLRSnapMountPoint_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),
      ZR_COLUMN(SnapshotId),
      ZR_COLUMN(MountPath),
      ZR_COLUMN(Flags),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"YLFLRSnapshot", {{"SnapshotId", "id"}}},
  };
  static constexpr std::span<const db::IndexDef> indexes{};
  static constexpr db::TableDef table{
      .name = "YLFLRSnapMountPoint",
      .version = "1.1.304.2",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLFLRSnapMountPoint",
      .logLine = 471,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLFLRSnapMountPoint_t, YLFLRSnapMountPoint_def)

class ZR_EXPORT YLFLRSnapMountPoint_t2 final : public db::RowDescriptor<YLFLRSnapMountPoint_def> {};

class ZR_EXPORT YLFLRSnapMountPoint final : public db::TableBinding<YLFLRSnapMountPoint_t, YLFLRSnapMountPoint_def, YLFLRSnapMountPoint_t2> {
 public:
  using TableBinding::TableBinding;
};
