#include "DivUdurezevudoZE/SNRVolumeMountPointDB.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "ZrLib/ZrLib.h"

bool CSNRVolumeMountPointDB::isDeviceNamespacePath(const char* path, unsigned long size) {
  if (!path) return false;
  std::string_view text(path, strnlen(path, size));
  return text.find("\\\\?\\") != std::string_view::npos || text.find("\\\\.\\") != std::string_view::npos;
}

bool CSNRVolumeMountPointDB::CheckMountPathSyntax(char* path, unsigned long size) {
  if (!path || size == 0 || !*path) return false;
  size_t length = strnlen(path, size);
  if (length == size) return false;  // not a terminated text: do not guess its end
  if (length == 1 && path[0] == '/') return true;

  char last = path[length - 1];
  if (last == '/' || last == '\\') {
    path[length - 1] = '\0';
  } else if (last == ' ') {
    while (length > 0 && path[length - 1] == ' ') path[--length] = '\0';
  }
  if (path[0] != ' ') return true;

  char* copy = strdup(path);
  if (!copy) return false;
  const char* rest = copy;
  while (*rest == ' ') ++rest;
  if (*rest) strcpy_s(path, size, rest);
  free(copy);
  return true;
}

bool CSNRVolumeMountPointDB::insert(YLMountPoint_t& row, DBtran* tran) {
  if (isDeviceNamespacePath(row.Path, sizeof row.Path)) return true;
  CheckMountPathSyntax(row.Path, sizeof row.Path);
  YLMountPoint* binding = nullptr;
  return insertRow<YLMountPoint_t, YLMountPoint>(row, binding, tran);
}
