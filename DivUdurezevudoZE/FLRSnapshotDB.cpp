#include "DivUdurezevudoZE/FLRSnapshotDB.h"

#include <string>

bool FLRSnapshotDB::Update(const char* name, const char* setText, DBtran* tran) {
  if (!name || !*name) return false;
  if (!setText || !*setText) return false;
  std::string where = std::string("Name = ") + name;
  CRDBUpdateOp update;
  update.clear();
  update.setWhere(where.c_str());
  update.setUpdate(setText);
  YLFLRSnapshot* binding = nullptr;
  return executeUpdateQuery<YLFLRSnapshot>(binding, update, tran);
}
