// Table YLUserApplicationDef: user-defined applications.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT YLUserApplicationDef_t {
  int id;
  int ClientId;
  char ApplicationName[257];
  char AppTag[33];
  char SuspendScript[513];
  char ResumeScript[513];
  ZR_RECORD_DECLARE(YLUserApplicationDef_t)
};

struct ZR_EXPORT YLUserApplicationDef_def {
  using Record = YLUserApplicationDef_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(id),     ZR_COLUMN(ClientId),      ZR_COLUMN(ApplicationName),
      ZR_COLUMN(AppTag), ZR_COLUMN(SuspendScript), ZR_COLUMN(ResumeScript),
  };
  static constexpr const char* primaryKey[] = {"id"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"APP_Client", {{"ClientId", "id"}}},
  };
  static constexpr std::span<const db::IndexDef> indexes{};
  static constexpr db::TableDef table{
      .name = "YLUserApplicationDef",
      .version = "1.2.304.2",
      .keyColumn = "id",
      .keyValueIsId = true,
      .defaultOrder = "id",
      .headerPath = "Db/Tbl/YLUserApplicationDef",
      .logLine = 486,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "id",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(YLUserApplicationDef_t, YLUserApplicationDef_def)

class ZR_EXPORT YLUserApplicationDef_t2 final : public db::RowDescriptor<YLUserApplicationDef_def> {};

class ZR_EXPORT YLUserApplicationDef final : public db::TableBinding<YLUserApplicationDef_t, YLUserApplicationDef_def, YLUserApplicationDef_t2> {
 public:
  using TableBinding::TableBinding;
};
