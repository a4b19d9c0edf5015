// Table YLFLRSnapNetworkShare: network shares of FLR snapshot mount points.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLFLRSnapNetworkShare_t {
  int id;
  int MountPointId;
  char NetShareName[1025];
  int Flags;
  ZR_RECORD_DECLARE(YLFLRSnapNetworkShare_t)
};

struct ZR_EXPORT YLFLRSnapNetworkShare_def {
  using Record = YLFLRSnapNetworkShare_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),
      ZR_COLUMN(MountPointId),
      ZR_COLUMN(NetShareName),
      ZR_COLUMN(Flags),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"YLFLRSnapMountPoint", {{"MountPointId", "id"}}},
  };
  static constexpr std::span<const db::IndexDef> indexes{};
  static constexpr db::TableDef table{
      .name = "YLFLRSnapNetworkShare",
      .version = "1.1.304.2",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLFLRSnapNetworkShare",
      .logLine = 471,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLFLRSnapNetworkShare_t, YLFLRSnapNetworkShare_def)

class ZR_EXPORT YLFLRSnapNetworkShare_t2 final : public db::RowDescriptor<YLFLRSnapNetworkShare_def> {};

class ZR_EXPORT YLFLRSnapNetworkShare final : public db::TableBinding<YLFLRSnapNetworkShare_t, YLFLRSnapNetworkShare_def, YLFLRSnapNetworkShare_t2> {
 public:
  using TableBinding::TableBinding;
};
