// Table YLFLRApplication: applications of FLR sets.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLFLRApplication_t {
  int id;
  char Tag[33];
  int ClientId;
  int Type;
  int FLRSetId;
  int Flags;
  ZR_RECORD_DECLARE(YLFLRApplication_t)
};

struct ZR_EXPORT YLFLRApplication_def {
  using Record = YLFLRApplication_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),   ZR_COLUMN(Tag),      ZR_COLUMN(ClientId),
      ZR_COLUMN(Type), ZR_COLUMN(FLRSetId), ZR_COLUMN(Flags),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr std::span<const db::ForeignKeyDef> foreignKeys{};
  static constexpr std::span<const db::IndexDef> indexes{};
  static constexpr db::TableDef table{
      .name = "YLFLRApplication",
      .version = "1.3.304.2",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLFLRApplication",
      .logLine = 488,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLFLRApplication_t, YLFLRApplication_def)

class ZR_EXPORT YLFLRApplication_t2 final : public db::RowDescriptor<YLFLRApplication_def> {};

class ZR_EXPORT YLFLRApplication final : public db::TableBinding<YLFLRApplication_t, YLFLRApplication_def, YLFLRApplication_t2> {
 public:
  using TableBinding::TableBinding;
};
