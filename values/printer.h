#pragma once

// Values as text on output streams: the general value output (through the class's
// "__str__"), the indented block form of arrays and objects, function listings and class
// help pages, and the texts behind the built-in "__str__" methods.

#include "values/var.h"
#include "values/var_buffer.h"

#include <ostream>
#include <string>

namespace sv {

// The value's text by its class's "__str__", else "<class at address>".
std::ostream& operator<<(std::ostream& os, const Var& value);
// "[]", or one element per line, indented by two blanks, closed on a line of its own.
std::ostream& operator<<(std::ostream& os, const VarArray& array);
// "{}", or one "key" : value member per line in ascending key order, indented by two blanks.
std::ostream& operator<<(std::ostream& os, const VarObject& object);
// The function name line and one line per overload.
std::ostream& operator<<(std::ostream& os, const VarFunction& function);
// The help page of a class: head line, doc, methods and properties.
std::ostream& operator<<(std::ostream& os, const VarClass& cls);

// Decimal text of an int.
std::string intText(int value);
// At most 12 significant digits, general notation, independent of any locale.
std::string doubleText(double value);
// "<buffer 2X3Xformat>": each dimension followed by "X", then the element format.
std::string bufferText(const VarBuffer& buffer);
// Any printable value, as the stream output above writes it.
std::string toText(const Var& value);

}  // namespace sv
