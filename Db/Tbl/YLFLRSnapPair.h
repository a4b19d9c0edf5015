// Table YLFLRSnapPair: applications paired with FLR snapshots.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLFLRSnapPair_t {
  int id;
  int SnapshotId;
  int PairId;
  int Flags;
  ZR_RECORD_DECLARE(YLFLRSnapPair_t)
};

struct ZR_EXPORT YLFLRSnapPair_def {
  using Record = YLFLRSnapPair_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),
      ZR_COLUMN(SnapshotId),
      ZR_COLUMN(PairId),
      ZR_COLUMN(Flags),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"YLFLRSnapshot", {{"SnapshotId", "id"}}},
      {"APP_Application", {{"PairId", "id"}}},
  };
  static constexpr std::span<const db::IndexDef> indexes{};
  static constexpr db::TableDef table{
      .name = "YLFLRSnapPair",
      .version = "1.2.304.1",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLFLRSnapPair",
      .logLine = 474,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLFLRSnapPair_t, YLFLRSnapPair_def)

class ZR_EXPORT YLFLRSnapPair_t2 final : public db::RowDescriptor<YLFLRSnapPair_def> {};

class ZR_EXPORT YLFLRSnapPair final : public db::TableBinding<YLFLRSnapPair_t, YLFLRSnapPair_def, YLFLRSnapPair_t2> {
 public:
  using TableBinding::TableBinding;
};
