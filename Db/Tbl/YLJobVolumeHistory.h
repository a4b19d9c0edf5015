// Table YLJobVolumeHistory: source and destination volumes of jobs.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLJobVolumeHistory_t {
  int id;
  int JobId;
  int zorbCellId;
  int SrcVolId;
  int SrcClientId;
  char SrcClientName[256];
  long long SrcBlockCount;
  int SrcBlockSize;
  char SrcDevName[1025];
  int DstVolId;
  int DstClientId;
  char DstClientName[256];
  long long DstBlockCount;
  int DstBlockSize;
  char DstDevName[1025];
  int CostCategoryId;
  int UnitType;
  long long UnitCost;
  int Flags;
  int pruneTime;
  int modified;
  int copyMgrType;
  long long spaceUsed;
  ZR_RECORD_DECLARE(YLJobVolumeHistory_t)
};

struct ZR_EXPORT YLJobVolumeHistory_def {
  using Record = YLJobVolumeHistory_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),
      ZR_COLUMN(JobId),
      ZR_COLUMN(zorbCellId),
      ZR_COLUMN(SrcVolId),
      ZR_COLUMN(SrcClientId),
      ZR_COLUMN(SrcClientName),
      ZR_COLUMN(SrcBlockCount),
      ZR_COLUMN(SrcBlockSize),
      ZR_COLUMN(SrcDevName),
      ZR_COLUMN(DstVolId),
      ZR_COLUMN(DstClientId),
      ZR_COLUMN(DstClientName),
      ZR_COLUMN(DstBlockCount),
      ZR_COLUMN(DstBlockSize),
      ZR_COLUMN(DstDevName),
      ZR_COLUMN(CostCategoryId),
      ZR_COLUMN(UnitType),
      ZR_COLUMN(UnitCost),
      ZR_COLUMN(Flags),
      ZR_COLUMN(pruneTime),
      ZR_COLUMN(modified),
      ZR_COLUMN(copyMgrType),
      ZR_COLUMN(spaceUsed),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"JMJobStats", {{"JobId", "jobId"}, {"zorbCellId", "zorbCellId"}}},
  };
  static constexpr db::IndexDef indexes[] = {
      {"YLJobVolumeHistory_dst", "DstVolId, pruneTime"},
      {"YLJobVolumeHistory_job", "JobId, zorbCellId"},
  };
  static constexpr db::TableDef table{
      .name = "YLJobVolumeHistory",
      .version = "1.11.56.2",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLJobVolumeHistory",
      .logLine = 676,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLJobVolumeHistory_t, YLJobVolumeHistory_def)

class ZR_EXPORT YLJobVolumeHistory_t2 final : public db::RowDescriptor<YLJobVolumeHistory_def> {};

class ZR_EXPORT YLJobVolumeHistory final : public db::TableBinding<YLJobVolumeHistory_t, YLJobVolumeHistory_def, YLJobVolumeHistory_t2> {
 public:
  using TableBinding::TableBinding;
};
