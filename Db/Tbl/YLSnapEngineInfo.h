// Table YLSnapEngineInfo: snapshot engines.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLSnapEngineInfo_t {
  int id;
  char name[129];
  int Flags;
  char MountCmdHint[257];
  char UnmountCmdHint[257];
  char SyncCmdHint[257];
  char UnsyncCmdHint[257];
  char SnapCmdHint[257];
  char UnsnapCmdHint[257];
  int OsType;
  int Type;
  char RollbackCmdHint[257];
  ZR_RECORD_DECLARE(YLSnapEngineInfo_t)
};

struct ZR_EXPORT YLSnapEngineInfo_def {
  using Record = YLSnapEngineInfo_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),
      ZR_COLUMN(name),
      ZR_COLUMN(Flags),
      ZR_COLUMN(MountCmdHint),
      ZR_COLUMN(UnmountCmdHint),
      ZR_COLUMN(SyncCmdHint),
      ZR_COLUMN(UnsyncCmdHint),
      ZR_COLUMN(SnapCmdHint),
      ZR_COLUMN(UnsnapCmdHint),
      ZR_COLUMN(OsType),
      ZR_COLUMN(Type),
      ZR_COLUMN(RollbackCmdHint),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr std::span<const db::ForeignKeyDef> foreignKeys{};
  static constexpr std::span<const db::IndexDef> indexes{};
  static constexpr db::TableDef table{
      .name = "YLSnapEngineInfo",
      .version = "1.34.304.3",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLSnapEngineInfo",
      .logLine = 552,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLSnapEngineInfo_t, YLSnapEngineInfo_def)

class ZR_EXPORT YLSnapEngineInfo_t2 final : public db::RowDescriptor<YLSnapEngineInfo_def> {};

class ZR_EXPORT YLSnapEngineInfo final : public db::TableBinding<YLSnapEngineInfo_t, YLSnapEngineInfo_def, YLSnapEngineInfo_t2> {
 public:
  using TableBinding::TableBinding;
};
