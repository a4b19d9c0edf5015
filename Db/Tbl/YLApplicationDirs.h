// Table YLApplicationDirs: application directories of subclients.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLApplicationDirs_t {
  int id;
  int subclientId;
  int clientId;
  int pathType;
  char objName[2049];
  char path[2049];
  int creationTime;
  int modifyTime;
  int ReplicationVolumeId;
  int Flags;
  ZR_RECORD_DECLARE(YLApplicationDirs_t)
};

struct ZR_EXPORT YLApplicationDirs_def {
  using Record = YLApplicationDirs_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),        ZR_COLUMN(subclientId),  ZR_COLUMN(clientId),   ZR_COLUMN(pathType),
      ZR_COLUMN(objName),   ZR_COLUMN(path),         ZR_COLUMN(creationTime), ZR_COLUMN(modifyTime),
      ZR_COLUMN(ReplicationVolumeId), ZR_COLUMN(Flags),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"APP_Application", {{"subclientId", "id"}}},
      {"APP_Client", {{"clientId", "id"}}},
      {"YLVolume", {{"ReplicationVolumeId", "id"}}},
  };
  static constexpr db::IndexDef indexes[] = {
      {"YLApplicationDirs_volume", "ReplicationVolumeId"},
  };
  static constexpr db::TableDef table{
      .name = "YLApplicationDirs",
      .version = "1.6.304.1",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLApplicationDirs",
      .logLine = 556,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLApplicationDirs_t, YLApplicationDirs_def)

class ZR_EXPORT YLApplicationDirs_t2 final : public db::RowDescriptor<YLApplicationDirs_def> {};

class ZR_EXPORT YLApplicationDirs final : public db::TableBinding<YLApplicationDirs_t, YLApplicationDirs_def, YLApplicationDirs_t2> {
 public:
  using TableBinding::TableBinding;
};
