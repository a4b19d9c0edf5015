// Facade of the FLR snapshots YLFLRSnapshot, which can also be updated by name.
#pragma once

#include "Db/Tbl/YLFLRSnapshot.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLFLRSnapshot>;

class DIVU_EXPORT FLRSnapshotDB : public CStandardFacade<YLFLRSnapshot> {
 public:
  using CStandardFacade::Update;  // by id

  // Applies `setText` to every snapshot whose Name matches. The WHERE text is
  // "Name = " followed by `name` exactly as given, so the caller passes it as
  // an SQL literal ('snap-1'). False without any engine call for a null or
  // empty name or SET text.
  bool Update(const char* name, const char* setText, DBtran* tran);
};
