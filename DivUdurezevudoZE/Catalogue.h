// The tables this library serves, and opening a database for them.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "Db/Database.h"
#include "DivUdurezevudoZE/Export.h"

namespace divu {

// Every table definition, in a stable order.
DIVU_EXPORT std::span<const db::TableDef* const> catalogueTables();

// Opens the database at `url` and checks that its tables are of this
// library's versions. Null with *error on failure.
DIVU_EXPORT std::shared_ptr<db::Database> openCatalogue(std::string_view url, std::string* error = nullptr);

// The same for a database that must hold the catalogue already: one without
// its tables fails with a "not a catalogue" text that names the command that
// makes one, instead of failing later at the first table.
DIVU_EXPORT std::shared_ptr<db::Database> openExistingCatalogue(std::string_view url, std::string* error = nullptr);

// Creates the missing tables, keys and indexes (idempotent).
DIVU_EXPORT int createCatalogue(db::Database& database, std::string* error = nullptr);

}  // namespace divu
