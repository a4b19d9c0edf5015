#include "Db/Engine/Backend.h"

namespace db::engine {

bool parseSwitch(std::string_view name, std::string_view value, bool& out, std::string* error) {
  if (value != "1" && value != "0") {
    if (error) *error = std::string(name) + " takes 1 or 0, not '" + std::string(value) + "'";
    return false;
  }
  out = value == "1";
  return true;
}

}  // namespace db::engine
