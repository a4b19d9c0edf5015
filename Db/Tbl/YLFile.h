// Table YLFile: named file contents kept for physical volumes.
#pragma once

#include <string_view>

#include "Db/TableBinding.h"

// Content is owned by the record: copies duplicate it and the destructor
// releases it with delete[]. Assign it only a buffer from new char[] (never
// a string literal, a std::string's data() or a malloc'd one), or use
// setContent.
struct ZR_EXPORT YLFile_t {
  int id;
  int VolumeId;
  char Name[1025];
  char* Content;
  int Flags;
  ZR_RECORD_DECLARE(YLFile_t)

  // Replaces Content with a new[] copy of `text`, releasing the old one.
  // Stored and read back, a text ends at its first NUL.
  void setContent(std::string_view text) {
    char* copy = new char[text.size() + 1];
    text.copy(copy, text.size());
    copy[text.size()] = '\0';
    delete[] Content;
    Content = copy;
  }
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
