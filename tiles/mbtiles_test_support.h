#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

// Reading the MBTiles databases back from tests through a connection of their own.
namespace mbtiles_test {

// The rows of a query, each row's columns as text (blobs as their bytes); empty when the
// database does not open or the query fails.
inline std::vector<std::vector<std::string>> query(const std::string& path,
                                                   const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        rows.emplace_back();
        for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
          const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt, c));
          rows.back().emplace_back(data ? std::string(data, sqlite3_column_bytes(stmt, c))
                                        : std::string());
        }
      }
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return rows;
}

inline std::string integrity(const std::string& path) {
  const auto rows = query(path, "PRAGMA integrity_check;");
  return rows.empty() ? "no answer" : rows[0][0];
}

}  // namespace mbtiles_test
