#include "Db/TableDef.h"

#include <cstring>

#include "ZrLib/ZrLib.h"

namespace db {

TableTexts makeTableTexts(const TableDef& def) {
  TableTexts texts;
  for (const ColumnDef& column : def.columns) {
    if (!texts.columnList.empty()) texts.columnList += ", ";
    texts.columnList += column.name;
    switch (column.type) {
      case ColumnType::Int32: texts.structDef += "i"; break;
      case ColumnType::Int64: texts.structDef += "b"; break;
      case ColumnType::Time64: texts.structDef += "x"; break;
      case ColumnType::Text: texts.structDef += "s" + std::to_string(column.size); break;
      case ColumnType::OwnedText: texts.structDef += "s"; break;
    }
    texts.structDef += "|";
  }
  texts.describe = std::string("Table ") + def.name;
  texts.selectPrefix = "SELECT " + texts.columnList + " FROM " + def.name;
  texts.countPrefix = std::string("SELECT COUNT(*) FROM ") + def.name;
  texts.updatePrefix = std::string("UPDATE ") + def.name + " SET ";
  texts.deletePrefix = std::string("DELETE FROM ") + def.name;
  std::string columns, markers;
  for (const ColumnDef& column : def.columns) {
    if (def.isSerial(column)) continue;
    columns += columns.empty() ? "" : ", ";
    columns += column.name;
    markers += markers.empty() ? "?" : ", ?";
  }
  texts.insertSql = std::string("INSERT INTO ") + def.name + " (" + columns + ") VALUES (" + markers + ")";
  if (*def.serialColumn) texts.insertSql += std::string(" RETURNING ") + def.serialColumn;
  texts.logFormat = std::string(def.name) + " Constructor [0x%08x], caught an exception";
  return texts;
}

char* duplicateOwnedText(const char* text) {
  if (!text) return nullptr;
  size_t n = strlen(text);
  char* copy = new char[n + 1];
  memcpy(copy, text, n + 1);
  return copy;
}

void initRecord(void* record, const TableDef& def) {
  for (const ColumnDef& column : def.columns) clearField(record, column);
}

void assignRecord(void* dst, const void* src, const TableDef& def) {
  for (const ColumnDef& column : def.columns) {
    switch (column.type) {
      case ColumnType::Int32: fieldAt<int>(dst, column) = fieldAt<int>(src, column); break;
      case ColumnType::Int64:
      case ColumnType::Time64: fieldAt<long long>(dst, column) = fieldAt<long long>(src, column); break;
      case ColumnType::Text:
        zrstrcpy(&fieldAt<char>(dst, column), &fieldAt<char>(src, column), column.size);
        break;
      case ColumnType::OwnedText: {
        // Copy before releasing: the source may be the target itself.
        char* copy = duplicateOwnedText(fieldAt<char*>(src, column));
        char*& target = fieldAt<char*>(dst, column);
        delete[] target;
        target = copy;
        break;
      }
    }
  }
}

void destroyRecord(void* record, const TableDef& def) {
  for (const ColumnDef& column : def.columns) {
    if (column.type != ColumnType::OwnedText) continue;
    char*& field = fieldAt<char*>(record, column);
    delete[] field;
    field = nullptr;
  }
}

}  // namespace db
