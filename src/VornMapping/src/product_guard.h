#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

// Where a run's products go, read from the rebuilt task's chain: the point-cloud folder and
// its root tileset, the DOM and DSM folders, the terrain tile records' folder and, in the
// MBTiles mode, the three databases.
struct ProductPlan {
  std::vector<std::string> folders;
  std::vector<std::string> files;      // made by the run; none may exist before it
  std::vector<std::string> databases;  // also opened by SQLite, whose paths are limited
};

ProductPlan productPlan(const nlohmann::json& chain);

// SQLite's unix file layer takes absolute database paths of at most this many bytes (its
// 512-byte path buffer less room for the "-journal" name beside the database).
inline constexpr std::size_t kSqlitePathLimit = 504;

// Why the run must not write its products where the plan says, one reason per path; empty
// when it may. Refused: a symbolic link at a product or at any folder above it (a link would
// take the write out of home, or into another file), a file with a second name (a hard link),
// a product folder that is a file, a product or a non-empty product folder left by an earlier
// run (a second run would mix its products into the first run's or fail halfway), and a
// database path longer than SQLite opens.
std::vector<std::string> productRefusals(const ProductPlan& plan, const std::string& home);
