#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

// The folders a task's run writes into: the home folder and every product location the chain
// names (a location may lie outside the home folder).
std::vector<std::string> taskFolders(const nlohmann::json& rebuiltTask);

// Removes the temporary files this process left in the folders and below them: the files an
// interrupted atomic write leaves, named "<file>.<this process id>.tmp". Other processes' files
// and symbolic links are left alone, and no link to a folder is followed. Returns the count.
int removeOwnTemporaryFiles(const std::vector<std::string>& folders);
