// Table YLVolume: replicated volumes.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLVolume_t {
  int id;
  int PointInTime;
  int CreationTime;
  int ModifyTime;
  int CurrentState;
  int CurrentRole;
  int PrimaryVolumeId;
  int PhysicalVolumeId;
  int ReplicationPolicyId;
  int RVScratchVolumeId;
  int Flags;
  int JobId;
  int SnapVolumeId;
  int SnapEngineType;
  char SnapvaultReplicaDir[1025];
  char SourceGUID[257];
  ZR_RECORD_DECLARE(YLVolume_t)
};

struct ZR_EXPORT YLVolume_def {
  using Record = YLVolume_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),
      ZR_COLUMN(PointInTime),
      ZR_COLUMN(CreationTime),
      ZR_COLUMN(ModifyTime),
      ZR_COLUMN(CurrentState),
      ZR_COLUMN(CurrentRole),
      ZR_COLUMN(PrimaryVolumeId),
      ZR_COLUMN(PhysicalVolumeId),
      ZR_COLUMN(ReplicationPolicyId),
      ZR_COLUMN(RVScratchVolumeId),
      ZR_COLUMN(Flags),
      ZR_COLUMN(JobId),
      ZR_COLUMN(SnapVolumeId),
      ZR_COLUMN(SnapEngineType),
      ZR_COLUMN(SnapvaultReplicaDir),
      ZR_COLUMN(SourceGUID),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"YLPhysicalVolume", {{"PrimaryVolumeId", "id"}}}, {"YLPhysicalVolume", {{"PhysicalVolumeId", "id"}}},
      {"YLPolicy", {{"ReplicationPolicyId", "id"}}},     {"YLScratchVolume", {{"RVScratchVolumeId", "id"}}},
      {"YLPhysicalVolume", {{"SnapVolumeId", "id"}}},
  };
  static constexpr db::IndexDef indexes[] = {
      {"YLVolume_physical", "PhysicalVolumeId"},
  };
  static constexpr db::TableDef table{
      .name = "YLVolume",
      .version = "1.12.304.2",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLVolume",
      .logLine = 614,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLVolume_t, YLVolume_def)

class ZR_EXPORT YLVolume_t2 final : public db::RowDescriptor<YLVolume_def> {};

class ZR_EXPORT YLVolume final : public db::TableBinding<YLVolume_t, YLVolume_def, YLVolume_t2> {
 public:
  using TableBinding::TableBinding;
};
