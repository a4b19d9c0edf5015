// Table YLFLRConsistencyPoint: FLR consistency points.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLFLRConsistencyPoint_t {
  int id;
  int CreationTime;
  int FLRSetId;
  int JobId;
  int Flags;
  int ClientId;
  int zorbCellId;
  int SrcClientId;
  int Type;
  ZR_RECORD_DECLARE(YLFLRConsistencyPoint_t)
};

struct ZR_EXPORT YLFLRConsistencyPoint_def {
  using Record = YLFLRConsistencyPoint_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),         ZR_COLUMN(CreationTime), ZR_COLUMN(FLRSetId),
      ZR_COLUMN(JobId),      ZR_COLUMN(Flags),        ZR_COLUMN(ClientId),
      ZR_COLUMN(zorbCellId), ZR_COLUMN(SrcClientId),  ZR_COLUMN(Type),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"APP_Client", {{"ClientId", "id"}}},
      {"APP_Client", {{"SrcClientId", "id"}}},
  };
  static constexpr db::IndexDef indexes[] = {
      {"YLFLRConsistencyPoint_job", "zorbCellId, JobId"},
  };
  static constexpr db::TableDef table{
      .name = "YLFLRConsistencyPoint",
      .version = "1.9.300.1",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLFLRConsistencyPoint",
      .logLine = 529,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLFLRConsistencyPoint_t, YLFLRConsistencyPoint_def)

class ZR_EXPORT YLFLRConsistencyPoint_t2 final : public db::RowDescriptor<YLFLRConsistencyPoint_def> {};

class ZR_EXPORT YLFLRConsistencyPoint final : public db::TableBinding<YLFLRConsistencyPoint_t, YLFLRConsistencyPoint_def, YLFLRConsistencyPoint_t2> {
 public:
  using TableBinding::TableBinding;
};
