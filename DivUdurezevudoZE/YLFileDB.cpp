#include "DivUdurezevudoZE/YLFileDB.h"

bool CYLFileDB::insert(YLFile_t& row, DBtran* tran) {
  YLFile_t copy(row);
  YLFile* binding = nullptr;
  bool inserted = insertRow<YLFile_t, YLFile>(copy, binding, tran);
  row.id = copy.id;
  return inserted;
}
