#pragma once

namespace sv {
namespace detail {

// Registers the operator, printing, container and codec methods of the built-in classes
// and the "__builtin__" record in the root object. Safe to run again: repeated methods are
// dropped by their equal signatures and the record is merged.
void registerBuiltinMethods();

}  // namespace detail
}  // namespace sv
