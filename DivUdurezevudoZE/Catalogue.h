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

// What opening does with a catalogue of an older schema revision (see
// upgradeCatalogue). A newer revision than this library's is always refused.
enum class OlderRevision {
  Refuse,   // fail, with a text that names both revisions and how to upgrade
  Accept,   // open it as it is, without the newer limits: to mend rows an upgrade lists
  Upgrade,  // upgrade it first; upgrade=1 in the URL asks the same
};

// Opens the database at `url` and checks that its tables are of this
// library's versions and its schema revision this library's. Null with
// *error on failure.
DIVU_EXPORT std::shared_ptr<db::Database> openCatalogue(std::string_view url, std::string* error = nullptr,
                                                        OlderRevision older = OlderRevision::Refuse);
DIVU_EXPORT std::shared_ptr<db::Database> openCatalogue(const db::DatabaseOptions& options,
                                                        std::string* error = nullptr,
                                                        OlderRevision older = OlderRevision::Refuse);

// The same for a database that must hold the catalogue already: one without
// its tables fails with a "not a catalogue" text that names the command that
// makes one, instead of failing later at the first table.
DIVU_EXPORT std::shared_ptr<db::Database> openExistingCatalogue(std::string_view url, std::string* error = nullptr,
                                                                OlderRevision older = OlderRevision::Refuse);
DIVU_EXPORT std::shared_ptr<db::Database> openExistingCatalogue(const db::DatabaseOptions& options,
                                                                std::string* error = nullptr,
                                                                OlderRevision older = OlderRevision::Refuse);

// Brings the catalogue to this library's schema revision, each step in one
// transaction (see db::Database::upgradeSchema). Nothing to do is success.
DIVU_EXPORT int upgradeCatalogue(db::Database& database, const db::UpgradeOptions& options = {},
                                 db::UpgradeResult* result = nullptr, std::string* error = nullptr);

// Creates the missing tables, keys and indexes (idempotent).
DIVU_EXPORT int createCatalogue(db::Database& database, std::string* error = nullptr);

}  // namespace divu
