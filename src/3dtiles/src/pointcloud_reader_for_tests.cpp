#include "pointcloud_reader_for_tests.h"

#include <nlohmann/json.hpp>

#include <unistd.h>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace pointcloud_reader {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string fileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

template <size_t N>
std::array<double, N> numbersOf(const json& array) {
  std::array<double, N> out{};
  for (size_t i = 0; i < N; ++i) out[i] = array.at(i).get<double>();
  return out;
}

bool finiteNumbers(const json& array, size_t count) {
  if (!array.is_array() || array.size() != count) return false;
  for (const json& v : array) {
    if (!v.is_number() || !std::isfinite(v.get<double>())) return false;
  }
  return true;
}

void checkTile(const json& tile, double parentError, const fs::path& folder,
               const std::string& where, std::vector<std::string>& problems);

void checkTileset(const fs::path& path, double parentError, std::vector<std::string>& problems) {
  json doc;
  try {
    doc = json::parse(fileText(path));
  } catch (const std::exception& e) {
    problems.push_back(path.string() + ": not strict JSON: " + e.what());
    return;
  }
  const std::string where = path.string();
  if (doc.value("refine", "") != "ADD") problems.push_back(where + ": top-level refine not ADD");
  if (!doc.contains("asset") || doc["asset"].value("version", "") != "1.0")
    problems.push_back(where + ": asset version not 1.0");
  const double error = doc.value("geometricError", -1.0);
  if (error < 0 || error > parentError) problems.push_back(where + ": tileset error grows");
  if (!doc.contains("root")) {
    problems.push_back(where + ": no root");
    return;
  }
  checkTile(doc["root"], error, path.parent_path(), where + " root", problems);
}

void checkTile(const json& tile, double parentError, const fs::path& folder,
               const std::string& where, std::vector<std::string>& problems) {
  if (tile.value("refine", "") != "ADD") problems.push_back(where + ": refine not ADD");
  const double error = tile.value("geometricError", -1.0);
  if (error < 0 || error > parentError) {
    problems.push_back(where + ": geometric error " + std::to_string(error) + " above " +
                       std::to_string(parentError));
  }
  if (!tile.contains("boundingVolume") ||
      !finiteNumbers(tile["boundingVolume"].value("box", json()), 12))
    problems.push_back(where + ": box is not 12 finite numbers");
  if (tile.contains("transform") && !finiteNumbers(tile["transform"], 16))
    problems.push_back(where + ": transform is not 16 finite numbers");
  if (tile.contains("content")) {
    const std::string uri = tile["content"].value("uri", "");
    if (uri.size() > 5 && uri.substr(uri.size() - 5) == ".json")
      checkTileset(folder / uri, error, problems);
  }
  if (tile.contains("children")) {
    int index = 0;
    for (const json& child : tile["children"]) {
      checkTile(child, error, folder, where + "/" + std::to_string(index++), problems);
    }
  }
}

double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

}  // namespace

ReadTiles readWithPy3dtiles(const fs::path& rootTileset) {
  ReadTiles result;
  const std::string python = VM_PY3DTILES_PYTHON;
  if (python.empty()) {
    result.error = "py3dtiles is not installed in the project's .venv: run scripts/setup.sh";
    return result;
  }
  const fs::path out =
      fs::temp_directory_path() / ("py3dtiles_" + std::to_string(::getpid()) + "_out.json");
  const fs::path err = fs::path(out).replace_extension(".err");
  const std::string command = quoted(python) + " " + quoted(VM_PY3DTILES_SCRIPT) + " " +
                              quoted(rootTileset.string()) + " > " + quoted(out.string()) + " 2> " +
                              quoted(err.string());
  const int status = std::system(command.c_str());
  const std::string text = fileText(out);
  result.error = fileText(err);
  fs::remove(out);
  fs::remove(err);
  if (status != 0) {
    if (result.error.empty())
      result.error = "the reader exited with status " + std::to_string(status);
    return result;
  }
  const json doc = json::parse(text);
  result.tilesets = doc.at("tilesets").get<std::vector<std::string>>();
  for (const json& p : doc.at("pnts")) {
    PntsContent content;
    content.path = p.at("uri").get<std::string>();
    content.count = p.at("count").get<size_t>();
    for (const json& v : p.at("world")) content.world.push_back(numbersOf<3>(v));
    for (const json& c : p.at("colours"))
      content.colours.push_back({c.at(0).get<int>(), c.at(1).get<int>(), c.at(2).get<int>()});
    for (const json& b : p.at("boxes")) content.boxes.push_back(numbersOf<12>(b));
    result.pnts.push_back(std::move(content));
  }
  result.ok = true;
  return result;
}

std::vector<std::string> strictTilesetProblems(const fs::path& rootTileset) {
  std::vector<std::string> problems;
  checkTileset(rootTileset, 1e300, problems);
  return problems;
}

bool insideBox(const Point& p, const Box& box, double tolerance) {
  const double d[3] = {p[0] - box[0], p[1] - box[1], p[2] - box[2]};
  for (int i = 0; i < 3; ++i) {
    const double* axis = &box[3 + 3 * i];
    const double length = std::sqrt(dot(axis, axis));
    if (length > 1e-12) {
      if (std::fabs(dot(d, axis)) / length > length + tolerance) return false;
      continue;
    }
    // A flat box: the point must lie in the plane of the other two axes.
    const double* a = &box[3 + 3 * ((i + 1) % 3)];
    const double* b = &box[3 + 3 * ((i + 2) % 3)];
    const double n[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                         a[0] * b[1] - a[1] * b[0]};
    const double nl = std::sqrt(dot(n, n));
    if (nl > 1e-12 && std::fabs(dot(d, n)) / nl > tolerance) return false;
  }
  return true;
}

}  // namespace pointcloud_reader
