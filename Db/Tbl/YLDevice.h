// Table YLDevice: appliances.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLDevice_t {
  int id;
  char Name[257];
  int Flags;
  ZR_RECORD_DECLARE(YLDevice_t)
};

struct ZR_EXPORT YLDevice_def {
  using Record = YLDevice_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),
      ZR_COLUMN(Name),
      ZR_COLUMN(Flags),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr std::span<const db::ForeignKeyDef> foreignKeys{};
  static constexpr std::span<const db::IndexDef> indexes{};
  static constexpr db::TableDef table{
      .name = "YLDevice",
      .version = "1.2.304.3",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLDevice",
      .logLine = 445,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLDevice_t, YLDevice_def)

class ZR_EXPORT YLDevice_t2 final : public db::RowDescriptor<YLDevice_def> {};

class ZR_EXPORT YLDevice final : public db::TableBinding<YLDevice_t, YLDevice_def, YLDevice_t2> {
 public:
  using TableBinding::TableBinding;
};
