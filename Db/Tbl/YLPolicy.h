// Table YLPolicy: replication policies.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLPolicy_t {
  int id;
  char name[129];
  int RetentionSeconds;
  int Flags;
  int CopyMgrCtrlId;
  int SnapEngineInfoId;
  int VolumeScratchPoolId;
  int NSnapshot;
  int CopyManagerType;
  ZR_RECORD_DECLARE(YLPolicy_t)
};

struct ZR_EXPORT YLPolicy_def {
  using Record = YLPolicy_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),
      ZR_COLUMN(name),
      ZR_COLUMN(RetentionSeconds),
      ZR_COLUMN(Flags),
      ZR_COLUMN(CopyMgrCtrlId),
      ZR_COLUMN(SnapEngineInfoId),
      ZR_COLUMN(VolumeScratchPoolId),
      ZR_COLUMN(NSnapshot),
      ZR_COLUMN(CopyManagerType),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"MMCopyManagerCtrl", {{"CopyMgrCtrlId", "CopyManagerCtrlId"}}},
      {"YLScratchPool", {{"VolumeScratchPoolId", "id"}}},
      {"YLSnapEngineInfo", {{"SnapEngineInfoId", "id"}}},
  };
  static constexpr std::span<const db::IndexDef> indexes{};
  static constexpr db::TableDef table{
      .name = "YLPolicy",
      .version = "1.12.304.3",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLPolicy",
      .logLine = 526,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLPolicy_t, YLPolicy_def)

class ZR_EXPORT YLPolicy_t2 final : public db::RowDescriptor<YLPolicy_def> {};

class ZR_EXPORT YLPolicy final : public db::TableBinding<YLPolicy_t, YLPolicy_def, YLPolicy_t2> {
 public:
  using TableBinding::TableBinding;
};
