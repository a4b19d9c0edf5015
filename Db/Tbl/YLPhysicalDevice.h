// Table YLPhysicalDevice: device names of physical volumes.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLPhysicalDevice_t {
  int id;
  int ClientId;
  int SNRVolumeId;
  char DeviceName[1025];
  int Flags;
  char OSDeviceName[1025];
  char AccessPath[129];
  int FilerClientId;
  ZR_RECORD_DECLARE(YLPhysicalDevice_t)
};

struct ZR_EXPORT YLPhysicalDevice_def {
  using Record = YLPhysicalDevice_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),    ZR_COLUMN(ClientId),     ZR_COLUMN(SNRVolumeId), ZR_COLUMN(DeviceName),
      ZR_COLUMN(Flags), ZR_COLUMN(OSDeviceName), ZR_COLUMN(AccessPath),  ZR_COLUMN(FilerClientId),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"APP_Client", {{"ClientId", "id"}}},
      {"YLPhysicalVolume", {{"SNRVolumeId", "id"}}},
      {"APP_Client", {{"FilerClientId", "id"}}},
  };
  static constexpr db::IndexDef indexes[] = {
      {"YLPhysicalDevice_volume", "SNRVolumeId"},
  };
  static constexpr db::TableDef table{
      .name = "YLPhysicalDevice",
      .version = "1.10.304.3",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLPhysicalDevice",
      .logLine = 517,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLPhysicalDevice_t, YLPhysicalDevice_def)

class ZR_EXPORT YLPhysicalDevice_t2 final : public db::RowDescriptor<YLPhysicalDevice_def> {};

class ZR_EXPORT YLPhysicalDevice final : public db::TableBinding<YLPhysicalDevice_t, YLPhysicalDevice_def, YLPhysicalDevice_t2> {
 public:
  using TableBinding::TableBinding;
};
