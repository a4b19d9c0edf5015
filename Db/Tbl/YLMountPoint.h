// Table YLMountPoint: mount points of physical volume devices.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLMountPoint_t {
  int id;
  int DeviceNameId;
  char Path[1025];
  int Flags;
  ZR_RECORD_DECLARE(YLMountPoint_t)
};

struct ZR_EXPORT YLMountPoint_def {
  using Record = YLMountPoint_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),
      ZR_COLUMN(DeviceNameId),
      ZR_COLUMN(Path),
      ZR_COLUMN(Flags),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"YLPhysicalDevice", {{"DeviceNameId", "id"}}},
  };
  static constexpr db::IndexDef indexes[] = {
      {"YLMountPoint_device", "DeviceNameId"},
  };
  static constexpr db::TableDef table{
      .name = "YLMountPoint",
      .version = "1.4.304.2",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLMountPoint",
      .logLine = 461,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLMountPoint_t, YLMountPoint_def)

class ZR_EXPORT YLMountPoint_t2 final : public db::RowDescriptor<YLMountPoint_def> {};

class ZR_EXPORT YLMountPoint final : public db::TableBinding<YLMountPoint_t, YLMountPoint_def, YLMountPoint_t2> {
 public:
  using TableBinding::TableBinding;
};
