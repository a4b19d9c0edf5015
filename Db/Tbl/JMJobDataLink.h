// Table JMJobDataLink: links between parent and child jobs.
#pragma once

#include "Db/TableBinding.h"

struct ZR_EXPORT JMJobDataLink_t {
  int zorbCellId;
  int parentJobId;
  int childJobId;
  int parentAppid;
  int childAppid;
  int linkType;
  int childJobStatus;
  ZR_RECORD_DECLARE(JMJobDataLink_t)
};

struct ZR_EXPORT JMJobDataLink_def {
  using Record = JMJobDataLink_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(zorbCellId), ZR_COLUMN(parentJobId), ZR_COLUMN(childJobId),     ZR_COLUMN(parentAppid),
      ZR_COLUMN(childAppid), ZR_COLUMN(linkType),    ZR_COLUMN(childJobStatus),
  };
  static constexpr const char* primaryKey[] = {"zorbCellId", "parentJobId", "childJobId"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"APP_ZorbCell", {{"zorbCellId", "id"}}},
      {"JMJobStats", {{"parentJobId", "jobId"}, {"zorbCellId", "zorbCellId"}}},
      {"JMJobStats", {{"childJobId", "jobId"}, {"zorbCellId", "zorbCellId"}}},
  };
  static constexpr db::IndexDef indexes[] = {
      {"JMJobDataLink_child", "zorbCellId, childJobId"},
  };
  static constexpr db::TableDef table{
      .name = "JMJobDataLink",
      .version = "1.13.302.2",
      .keyColumn = "",
      .keyValueIsId = false,
      .defaultOrder = "zorbCellId, parentJobId, childJobId",
      .headerPath = "Db/Tbl/JMJobDataLink",
      .logLine = 515,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(JMJobDataLink_t, JMJobDataLink_def)

class ZR_EXPORT JMJobDataLink_t2 final : public db::RowDescriptor<JMJobDataLink_def> {};

class ZR_EXPORT JMJobDataLink final : public db::TableBinding<JMJobDataLink_t, JMJobDataLink_def, JMJobDataLink_t2> {
 public:
  using TableBinding::TableBinding;
};
