// Mount path normalisation on arbitrary bytes: the input is the whole field,
// exactly as large as the input, so a path without terminator reaches the
// function and any read or write past the field stops the run (ASan).
//
// The oracle restates the header's rules independently: one trailing slash or
// backslash, or else all trailing blanks, go; then the leading blanks, unless
// nothing but blanks is left. Normalising twice is not promised to be a no-op
// ("/a//" loses one slash per pass), so that is not checked.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "DivUdurezevudoZE/SNRVolumeMountPointDB.h"

namespace {

// The normalised text, or nothing when the call must refuse the field.
std::optional<std::string> normalised(const char* field, size_t size) {
  if (size == 0) return std::nullopt;
  size_t length = strnlen(field, size);
  if (length == 0 || length == size) return std::nullopt;
  std::string path(field, length);
  if (path == "/") return path;
  if (path.back() == '/' || path.back() == '\\') {
    path.pop_back();
  } else {
    while (!path.empty() && path.back() == ' ') path.pop_back();
  }
  size_t first = path.find_first_not_of(' ');
  if (first == std::string::npos || first == 0) return path;
  return path.substr(first);
}

bool hasDeviceMarker(const char* field, size_t size) {
  std::string text(field, strnlen(field, size));
  return text.find("\\\\?\\") != std::string::npos || text.find("\\\\.\\") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A heap block of exactly the field's size: one byte past it is a redzone.
  std::unique_ptr<char[]> field(new char[size ? size : 1]);
  if (size) memcpy(field.get(), data, size);
  const std::optional<std::string> expected = normalised(field.get(), size);

  if (CSNRVolumeMountPointDB::isDeviceNamespacePath(field.get(), size) != hasDeviceMarker(field.get(), size)) abort();

  bool accepted = CSNRVolumeMountPointDB::CheckMountPathSyntax(field.get(), size);
  if (accepted != expected.has_value()) abort();
  if (!accepted) {
    if (size && memcmp(field.get(), data, size) != 0) abort();  // a refused field is left as it was
    return 0;
  }
  size_t length = strnlen(field.get(), size);
  if (length == size) abort();  // the result is terminated inside the field
  if (std::string(field.get(), length) != *expected) abort();
  return 0;
}
