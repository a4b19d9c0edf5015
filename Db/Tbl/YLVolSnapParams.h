// Table YLVolSnapParams: snapshot parameters of physical volumes.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLVolSnapParams_t {
  int SNRVolumeId;
  int SnapEngineId;
  int MountClientId;
  char MountCmd[257];
  char UnmountCmd[257];
  int SyncClientId;
  char SyncCmd[257];
  char UnsyncCmd[257];
  int SnapClientId;
  char SnapCmd[257];
  char UnsnapCmd[257];
  int Flags;
  char RollbackCmd[257];
  ZR_RECORD_DECLARE(YLVolSnapParams_t)
};

struct ZR_EXPORT YLVolSnapParams_def {
  using Record = YLVolSnapParams_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(SNRVolumeId),  ZR_COLUMN(SnapEngineId), ZR_COLUMN(MountClientId), ZR_COLUMN(MountCmd),
      ZR_COLUMN(UnmountCmd),   ZR_COLUMN(SyncClientId), ZR_COLUMN(SyncCmd),       ZR_COLUMN(UnsyncCmd),
      ZR_COLUMN(SnapClientId), ZR_COLUMN(SnapCmd),      ZR_COLUMN(UnsnapCmd),     ZR_COLUMN(Flags),
      ZR_COLUMN(RollbackCmd),
  };
  static constexpr const char* primaryKey[] = {"SNRVolumeId"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"YLPhysicalVolume", {{"SNRVolumeId", "id"}}}, {"YLSnapEngineInfo", {{"SnapEngineId", "id"}}},
      {"APP_Client", {{"MountClientId", "id"}}},     {"APP_Client", {{"SyncClientId", "id"}}},
      {"APP_Client", {{"SnapClientId", "id"}}},
  };
  static constexpr std::span<const db::IndexDef> indexes{};
  static constexpr db::TableDef table{
      .name = "YLVolSnapParams",
      .version = "1.9.304.2",
      .keyColumn = "SNRVolumeId",
      .keyValueIsId = false,
      .defaultOrder = "SNRVolumeId",
      .headerPath = "Db/Tbl/YLVolSnapParams",
      .logLine = 582,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLVolSnapParams_t, YLVolSnapParams_def)

class ZR_EXPORT YLVolSnapParams_t2 final : public db::RowDescriptor<YLVolSnapParams_def> {};

class ZR_EXPORT YLVolSnapParams final : public db::TableBinding<YLVolSnapParams_t, YLVolSnapParams_def, YLVolSnapParams_t2> {
 public:
  using TableBinding::TableBinding;
};
