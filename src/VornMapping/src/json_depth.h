#pragma once

#include <cstddef>
#include <string>

// The deepest nesting of arrays and objects a task or configuration may have, the value
// reader's own limit. Deeper documents would overflow the stack of the recursive printer and
// merge.
constexpr std::size_t kMaxDocumentDepth = 200;

// True when the JSON text nests arrays and objects deeper than `limit`. Scans the text once
// without recursion; brackets inside strings do not count.
bool nestsDeeperThan(const std::string& text, std::size_t limit);
