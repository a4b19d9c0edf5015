// Table YLFLRSnapshot: snapshots of FLR consistency points.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLFLRSnapshot_t {
  int id;
  int ConsistencyPointId;
  char Name[129];
  char SnapVolumeName[1025];
  char VolumeGUID[1025];
  int CreationTime;
  int Flags;
  int Type;
  char SnapshotPath[1025];
  int LastModifiedTime;
  ZR_RECORD_DECLARE(YLFLRSnapshot_t)
};

struct ZR_EXPORT YLFLRSnapshot_def {
  using Record = YLFLRSnapshot_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),           ZR_COLUMN(ConsistencyPointId), ZR_COLUMN(Name),  ZR_COLUMN(SnapVolumeName),
      ZR_COLUMN(VolumeGUID),   ZR_COLUMN(CreationTime),       ZR_COLUMN(Flags), ZR_COLUMN(Type),
      ZR_COLUMN(SnapshotPath), ZR_COLUMN(LastModifiedTime),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"YLFLRConsistencyPoint", {{"ConsistencyPointId", "id"}}},
  };
  static constexpr db::IndexDef indexes[] = {
      {"YLFLRSnapshot_name", "Name"},
      {"YLFLRSnapshot_point", "ConsistencyPointId"},
  };
  static constexpr db::TableDef table{
      .name = "YLFLRSnapshot",
      .version = "1.12.300.2",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLFLRSnapshot",
      .logLine = 540,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLFLRSnapshot_t, YLFLRSnapshot_def)

class ZR_EXPORT YLFLRSnapshot_t2 final : public db::RowDescriptor<YLFLRSnapshot_def> {};

class ZR_EXPORT YLFLRSnapshot final : public db::TableBinding<YLFLRSnapshot_t, YLFLRSnapshot_def, YLFLRSnapshot_t2> {
 public:
  using TableBinding::TableBinding;
};
