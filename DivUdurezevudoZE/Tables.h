// The catalogue's tables, each named once: DIVU_TABLES below is the list that
// the catalogue's table array, the facade instantiations, repdb's registry
// and the typed tests expand. Its order is the catalogue's: tables are
// created in it and the upgrade steps' checksums run over it, so a new table
// goes at the end.
#pragma once

#include "DivUdurezevudoZE/StandardFacade.h"

// The preprocessor cannot make an #include out of a list entry, so each table
// has one include here too: its facade's header where the facade has
// operations of its own (it includes the table's header), else the table's.
#include "Db/Tbl/JMBkpStats.h"
#include "Db/Tbl/JMJobDataLink.h"
#include "Db/Tbl/YLApplicationDirs.h"
#include "Db/Tbl/YLDevice.h"
#include "Db/Tbl/YLEVHistoryName.h"
#include "Db/Tbl/YLFLRApplication.h"
#include "Db/Tbl/YLFLRSnapMountPoint.h"
#include "Db/Tbl/YLFLRSnapNetworkShare.h"
#include "Db/Tbl/YLFLRSnapPair.h"
#include "Db/Tbl/YLPhysicalDevice.h"
#include "Db/Tbl/YLPhysicalVolume.h"
#include "Db/Tbl/YLPolicy.h"
#include "Db/Tbl/YLScratchPool.h"
#include "Db/Tbl/YLScratchVolume.h"
#include "Db/Tbl/YLSnapEngineInfo.h"
#include "Db/Tbl/YLSubclientYLVolumes.h"
#include "Db/Tbl/YLUserApplicationDef.h"
#include "Db/Tbl/YLVolSnapParams.h"
#include "DivUdurezevudoZE/FLRConsistencyPointDB.h"
#include "DivUdurezevudoZE/FLRSnapshotDB.h"
#include "DivUdurezevudoZE/ReplicationVolumeDB.h"
#include "DivUdurezevudoZE/SNRVolumeMountPointDB.h"
#include "DivUdurezevudoZE/YLFileDB.h"
#include "DivUdurezevudoZE/YLJobVolumeHistoryDB.h"

// One entry per table, in catalogue order, by what serves it:
//   FACADE(Binding, Facade, KeyText)      a facade of the standard operations
//                                         only, declared below from its entry
//   OWN_FACADE(Binding, Facade, KeyText)  a facade with operations of its own,
//                                         in its own header and source
//   NO_FACADE(Binding)                    no facade: CRepBaseDB's generic
//                                         operations with the binding
// KeyText is the UpdateKeyText that starts the WHERE of the facade's Update.
// An expansion that ignores a kind passes DIVU_TABLE_SKIP for it.
#define DIVU_TABLES(FACADE, OWN_FACADE, NO_FACADE)                  \
  OWN_FACADE(YLVolume, CReplicationVolumeDB, Plain)                 \
  FACADE(YLPhysicalVolume, CSNRVolumeDB, Plain)                     \
  FACADE(YLPhysicalDevice, CSNRVolumeDeviceNameDB, Plain)           \
  OWN_FACADE(YLMountPoint, CSNRVolumeMountPointDB, Plain)           \
  FACADE(YLDevice, CYLApplianceDB, Plain)                           \
  FACADE(YLPolicy, CReplicationPolicyDB, Plain)                     \
  FACADE(YLScratchPool, CRVScratchVolumePoolDB, Plain)              \
  FACADE(YLScratchVolume, CRVScratchVolumeDB, Plain)                \
  FACADE(YLSnapEngineInfo, CSnapEngineInfoDB, Plain)                \
  FACADE(YLVolSnapParams, CVolumeSnapParamsDB, Plain)               \
  FACADE(YLSubclientYLVolumes, YLSubclientYLVolumesDB, Plain)       \
  FACADE(YLEVHistoryName, CYLEVHistoryNameDB, Plain)                \
  OWN_FACADE(YLFile, CYLFileDB, Plain)                              \
  FACADE(YLApplicationDirs, ApplicationDirsDB, LeadingBlank)        \
  FACADE(YLUserApplicationDef, YLUserApplicationDefDB, DoubleBlank) \
  OWN_FACADE(YLFLRConsistencyPoint, FLRConsistencyPointDB, Plain)   \
  OWN_FACADE(YLFLRSnapshot, FLRSnapshotDB, Plain)                   \
  FACADE(YLFLRSnapPair, FLRSnapPairDB, Plain)                       \
  FACADE(YLFLRSnapMountPoint, FLRSnapMountPointDB, Plain)           \
  FACADE(YLFLRSnapNetworkShare, FLRSnapNetworkShareDB, Plain)       \
  FACADE(YLFLRApplication, FLRApplicationDB, Plain)                 \
  NO_FACADE(JMBkpStats)                                             \
  NO_FACADE(JMJobDataLink)                                          \
  OWN_FACADE(YLJobVolumeHistory, CYLJobVolumeHistoryDB, Plain)

#define DIVU_TABLE_SKIP(...)

// The standard facades. Their operations are compiled once, in the library
// (Facades.cpp); extern keeps callers from compiling them again.
#define DIVU_STANDARD_FACADE(Binding, Facade, KeyText)                                 \
  extern template class DIVU_EXPORT CStandardFacade<Binding, UpdateKeyText::KeyText>; \
  class DIVU_EXPORT Facade : public CStandardFacade<Binding, UpdateKeyText::KeyText> {};
DIVU_TABLES(DIVU_STANDARD_FACADE, DIVU_TABLE_SKIP, DIVU_TABLE_SKIP)
#undef DIVU_STANDARD_FACADE

namespace divu {

// A list of types, to hand a pack made from DIVU_TABLES to a template.
template <class... T>
struct TypeList {
  template <template <class...> class To>
  using Into = To<T...>;
};

// A type list from DIVU_TABLES, whose entries cannot expand to "T," without a
// trailing comma: they expand to ", T" after a void, which this drops.
//   using Bindings = divu::TypesAfterVoid<void DIVU_TABLES(ENTRY, ENTRY, ENTRY)>;
template <class Void, class... T>
using TypesAfterVoid = TypeList<T...>;

}  // namespace divu
