// Facade of the mount points YLMountPoint: inserts skip device-namespace
// paths and store the others normalised.
#pragma once

#include "Db/Tbl/YLMountPoint.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLMountPoint>;

class DIVU_EXPORT CSNRVolumeMountPointDB : public CStandardFacade<YLMountPoint> {
 public:
  // A path holding "\\?\" or "\\.\" is not stored and the call succeeds;
  // other paths are normalised in the caller's record, then inserted.
  bool insert(YLMountPoint_t& row, DBtran* tran);

  // Normalises `path` (capacity `size` bytes) in place: one trailing slash or
  // backslash, or all trailing blanks, removed; then leading blanks. False
  // for a null or empty path, a path without terminator within `size`, or
  // when memory runs out.
  static bool CheckMountPathSyntax(char* path, unsigned long size);

  // Whether the path (read up to `size` bytes) holds a device-namespace marker.
  static bool isDeviceNamespacePath(const char* path, unsigned long size);
};
