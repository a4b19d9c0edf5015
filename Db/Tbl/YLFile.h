// Table YLFile: named file contents kept for physical volumes.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLFile_t {
  int id;
  int VolumeId;
  char Name[1025];
  char* Content;
  int Flags;
  ZR_RECORD_DECLARE(YLFile_t)
};

struct ZR_EXPORT YLFile_def {
  using Record = YLFile_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id), ZR_COLUMN(VolumeId), ZR_COLUMN(Name), ZR_COLUMN(Content), ZR_COLUMN(Flags),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"YLPhysicalVolume", {{"VolumeId", "id"}}},
  };
  static constexpr db::IndexDef indexes[] = {
      {"YLFile_volume", "VolumeId"},
  };
  static constexpr db::TableDef table{
      .name = "YLFile",
      .version = "1.3.304.4",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLFile",
      .logLine = 494,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLFile_t, YLFile_def)

class ZR_EXPORT YLFile_t2 final : public db::RowDescriptor<YLFile_def> {};

class ZR_EXPORT YLFile final : public db::TableBinding<YLFile_t, YLFile_def, YLFile_t2> {
 public:
  using TableBinding::TableBinding;
};
