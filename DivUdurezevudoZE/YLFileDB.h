// Facade of the file records YLFile, whose Content is a text of any length
// owned by each record: it must come from new char[] (the record releases it
// with delete[]); row.setContent(std::string_view) makes such a copy.
#pragma once

#include "Db/Tbl/YLFile.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLFile>;

class DIVU_EXPORT CYLFileDB : public CStandardFacade<YLFile> {
 public:
  // Inserts through a private copy: the caller's Content pointer and buffer
  // are never touched; only its id changes, and only on success.
  bool insert(YLFile_t& row, DBtran* tran);
};
