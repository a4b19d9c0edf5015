// The bounded string copies of ZrLib and record assignment, which copies every
// text field through them.
//
// Input: byte 0 picks the operation, byte 1 is the destination's size in bytes
// (0-255), byte 2 a count (strncpy_s; 255 means "no limit") or an overlap
// offset (zrstrcpy), the rest is the source. Every buffer is a heap block of
// exactly its size, so a write past the destination or a read past the source
// stops the run (ASan). For the record operations the rest of the input fills
// the fields of both records, column by column.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Db/Tbl/YLFile.h"
#include "Db/Tbl/YLVolume.h"
#include "ZrLib/ZrLib.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

bool terminated(const std::vector<char>& bytes) { return std::find(bytes.begin(), bytes.end(), '\0') != bytes.end(); }

// A source the functions may legitimately be given: a C text, or a block
// without terminator at least `reads` bytes long (they read no further).
std::vector<char> sourceOf(const uint8_t* data, size_t size, size_t reads) {
  std::vector<char> source(data, data + size);
  if (!terminated(source) && source.size() < reads) source.push_back('\0');
  if (source.empty()) source.push_back('\0');
  return source;
}

std::unique_ptr<char[]> block(size_t size, char fill) {
  std::unique_ptr<char[]> buffer(new char[size ? size : 1]);
  memset(buffer.get(), fill, size ? size : 1);
  return buffer;
}

// dst must hold the first strnlen(src, limit) bytes of src, then a terminator.
void checkCopied(const char* dst, const std::string& src, size_t limit) {
  size_t n = strnlen(src.data(), std::min(limit, src.size()));
  check(memcmp(dst, src.data(), n) == 0);
  check(dst[n] == '\0');
}

void fuzzZrstrcpy(size_t size, uint8_t offset, const uint8_t* data, size_t length) {
  std::vector<char> source = sourceOf(data, length, size ? size - 1 : 0);
  const std::string original(source.begin(), source.end());
  auto dst = block(size, '#');
  zrstrcpy(dst.get(), source.data(), size);
  if (size) checkCopied(dst.get(), original, size - 1);

  // In place and overlapping, both ways: one buffer holding the source, the
  // destination `offset` bytes before or after it, both within the buffer.
  for (bool forward : {false, true}) {
    size_t shift = offset % (source.size() + 1);
    std::vector<char> buffer(source.size() + shift);
    char* src = buffer.data() + (forward ? 0 : shift);
    char* to = buffer.data() + (forward ? shift : 0);
    memcpy(src, source.data(), source.size());
    size_t room = buffer.size() - static_cast<size_t>(to - buffer.data());
    size_t limit = std::min(size, room);
    // Reads stop at the terminator or limit - 1 bytes, both inside the source.
    if (limit == 0 || (!terminated(source) && source.size() < limit - 1)) continue;
    zrstrcpy(to, src, limit);
    checkCopied(to, original, limit - 1);
  }
  zrstrcpy(nullptr, source.data(), size);  // nothing to write to: nothing happens
  if (size) {
    zrstrcpy(dst.get(), nullptr, size);
    check(dst[0] == '\0');
  }
}

void fuzzStrncpy(size_t size, uint8_t countByte, const uint8_t* data, size_t length) {
  unsigned long count = countByte == 255 ? ULONG_MAX : countByte;
  size_t reads = size ? std::min<unsigned long>(count, size - 1) : 0;
  std::vector<char> source = sourceOf(data, length, reads);
  const std::string original(source.begin(), source.end());
  auto dst = block(size, '#');
  int code = strncpy_s(dst.get(), size, source.data(), count);
  if (size == 0) {
    check(code == EINVAL);
    return;
  }
  check(code == 0);
  checkCopied(dst.get(), original, reads);

  check(strncpy_s(nullptr, size, source.data(), count) == EINVAL);
  memset(dst.get(), '#', size);
  check(strncpy_s(dst.get(), size, nullptr, count) == EINVAL);
  check(dst[0] == '\0');
}

void fuzzStrcpy(size_t size, const uint8_t* data, size_t length) {
  // strcpy_s takes a C text; it reads at most `size` bytes of it.
  std::vector<char> source = sourceOf(data, length, size + 1);
  const std::string original(source.begin(), source.end());
  auto dst = block(size, '#');
  int code = strcpy_s(dst.get(), size, source.data());
  if (size == 0) {
    check(code == EINVAL);
    return;
  }
  size_t n = strnlen(original.data(), original.size());
  if (n < size) {
    check(code == 0);
    checkCopied(dst.get(), original, n);
  } else {
    check(code == ERANGE);
    check(dst[0] == '\0');
  }
  check(strcpy_s(nullptr, size, source.data()) == EINVAL);
  memset(dst.get(), '#', size);
  check(strcpy_s(dst.get(), size, nullptr) == EINVAL);
  check(dst[0] == '\0');
}

// Fills the record's columns from the input: integers from 4 or 8 bytes;
// a text field from a length byte and that many bytes, where 255 fills the
// whole field, without terminator, with the next byte; an owned text is null
// for length 0, else the bytes up to the first NUL.
class Filler {
 public:
  Filler(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
  void fill(void* record, const db::TableDef& def) {
    for (const db::ColumnDef& column : def.columns) {
      switch (column.type) {
        case db::ColumnType::Int32: bytes(&db::fieldAt<int>(record, column), sizeof(int)); break;
        case db::ColumnType::Int64:
        case db::ColumnType::Time64: bytes(&db::fieldAt<long long>(record, column), sizeof(long long)); break;
        case db::ColumnType::Text: {
          char* field = &db::fieldAt<char>(record, column);
          uint8_t length = byte();
          if (length == 255) {
            uint8_t c = byte();
            memset(field, c ? c : 'x', column.size);
          } else {
            memset(field, 0, column.size);
            bytes(field, std::min<size_t>(length, column.size));
          }
          break;
        }
        case db::ColumnType::OwnedText: {
          char*& field = db::fieldAt<char*>(record, column);
          delete[] field;
          field = nullptr;
          uint8_t length = byte();
          if (length) {
            std::string text(length, '\0');
            bytes(text.data(), length);
            field = db::duplicateOwnedText(text.c_str());
          }
          break;
        }
      }
    }
  }

 private:
  void bytes(void* out, size_t n) {
    size_t take = std::min(n, m_size - m_at);
    memcpy(out, m_data + m_at, take);
    memset(static_cast<char*>(out) + take, 0, n - take);
    m_at += take;
  }
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at = 0;
};

// Every column of `copy` as assignment promises from `source`, whose fields
// were saved in `fields` before the copy: numbers equal, texts cut to the
// field and terminated, owned texts duplicated.
void checkAssigned(const void* copy, const void* source, const db::TableDef& def, const std::vector<std::string>& fields) {
  size_t i = 0;
  for (const db::ColumnDef& column : def.columns) {
    const std::string& saved = fields[i++];
    switch (column.type) {
      case db::ColumnType::Int32:
      case db::ColumnType::Int64:
      case db::ColumnType::Time64:
        check(memcmp(static_cast<const char*>(copy) + column.offset, saved.data(), saved.size()) == 0);
        break;
      case db::ColumnType::Text:
        checkCopied(&db::fieldAt<char>(copy, column), saved, column.size - 1);
        break;
      case db::ColumnType::OwnedText: {
        const char* text = db::fieldAt<char*>(copy, column);
        check((text == nullptr) == saved.empty());
        if (text) {
          check(saved.substr(1) == text);
          check(copy == source || text != db::fieldAt<char*>(source, column));
        }
        break;
      }
    }
  }
}

// The fields' bytes; an owned text as "" for null, else "=" + the text.
std::vector<std::string> fieldsOf(const void* record, const db::TableDef& def) {
  std::vector<std::string> fields;
  for (const db::ColumnDef& column : def.columns) {
    const char* at = static_cast<const char*>(record) + column.offset;
    if (column.type == db::ColumnType::OwnedText) {
      const char* text = db::fieldAt<char*>(record, column);
      fields.push_back(text ? std::string("=") + text : std::string());
    } else {
      fields.emplace_back(at, column.size);
    }
  }
  return fields;
}

template <class Record, class Def>
void fuzzRecord(const uint8_t* data, size_t size) {
  Filler filler(data, size);
  auto source = std::make_unique<Record>();
  auto target = std::make_unique<Record>();
  filler.fill(source.get(), Def::table);
  filler.fill(target.get(), Def::table);
  const std::vector<std::string> fields = fieldsOf(source.get(), Def::table);

  *target = *source;
  checkAssigned(target.get(), source.get(), Def::table, fields);
  check(fieldsOf(source.get(), Def::table) == fields);  // the source is only read

  auto constructed = std::make_unique<Record>(*source);
  checkAssigned(constructed.get(), source.get(), Def::table, fields);

  Record& self = *source;
  *source = self;  // in place: texts cut to their fields, owned texts kept
  checkAssigned(source.get(), source.get(), Def::table, fields);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  size_t dstSize = data[1];
  switch (data[0] % 5) {
    case 0: fuzzZrstrcpy(dstSize, data[2], data + 3, size - 3); break;
    case 1: fuzzStrncpy(dstSize, data[2], data + 3, size - 3); break;
    case 2: fuzzStrcpy(dstSize, data + 3, size - 3); break;
    case 3: fuzzRecord<YLVolume_t, YLVolume_def>(data + 1, size - 1); break;
    case 4: fuzzRecord<YLFile_t, YLFile_def>(data + 1, size - 1); break;
  }
  return 0;
}
