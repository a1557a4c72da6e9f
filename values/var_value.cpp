#include "values/var.h"

#include <utility>

namespace sv {

VarValue::~VarValue() = default;

void* VarValue::ptr(const std::type_info& type) { return type == typeid(void) ? this : nullptr; }

Var& VarValue::classObject() { return VarClass::instance<void>(); }

std::uint64_t VarValue::length() { return 0; }

Var VarValue::clone(int) { return Var::Undefined(); }

const char* VarException::what() const noexcept {
  if (const std::string* text =
          static_cast<const std::string*>(message.holder()->ptr(typeid(std::string)))) {
    return text->c_str();
  }
  return "VarException";
}

const Var& Var::Undefined() {
  static const Var undefined(std::make_shared<VarValue>());
  return undefined;
}

const Var& Var::Null() {
  static const Var null(std::make_shared<VarValue_<std::nullptr_t>>(nullptr));
  return null;
}

Var& Var::root() {
  static Var rootObject(std::make_shared<VarObject>());
  return rootObject;
}

Var::Var() : value_(Undefined().value_) {}

Var::Var(VarValue* holder) : value_(holder) {}

Var::Var(std::shared_ptr<VarValue> holder) : value_(std::move(holder)) {}

Var::Var(bool value) : value_(std::make_shared<VarValue_<bool>>(value)) {}

Var::Var(int value) : value_(std::make_shared<VarValue_<int>>(value)) {}

Var::Var(double value) : value_(std::make_shared<VarValue_<double>>(value)) {}

Var::Var(unsigned int value) : value_(std::make_shared<VarValue_<unsigned int>>(value)) {}

Var::Var(std::uint64_t value) : value_(std::make_shared<VarValue_<std::uint64_t>>(value)) {}

Var::Var(const std::string& text) : value_(std::make_shared<VarValue_<std::string>>(text)) {}

Var::Var(std::string&& text) : value_(std::make_shared<VarValue_<std::string>>(std::move(text))) {}

Var::Var(const char* text)
    : value_(text ? std::make_shared<VarValue_<std::string>>(std::string(text)) : Null().value_) {}

Var::Var(std::initializer_list<Var> list) {
  // An object list holds only two-element arrays whose first element is a key text.
  bool objectList = true;
  for (const Var& element : list) {
    auto* pair = static_cast<VarArray*>(element.holder()->ptr(typeid(VarArray)));
    if (!pair || pair->value.size() != 2 || !pair->value[0].is<std::string>()) {
      objectList = false;
      break;
    }
  }
  if (!objectList) {
    value_ = std::make_shared<VarArray>(std::vector<Var>(list));
    return;
  }
  VarObject::Map entries;
  for (const Var& element : list) {
    const std::vector<Var>& pair =
        static_cast<VarArray*>(element.holder()->ptr(typeid(VarArray)))->value;
    entries.emplace(pair[0].as<std::string>(), pair[1]);  // a repeated key keeps the first value
  }
  value_ = std::make_shared<VarObject>(std::move(entries));
}

Var::Var(const std::vector<Var>& elements) : value_(std::make_shared<VarArray>(elements)) {}

Var::Var(std::vector<Var>&& elements) : value_(std::make_shared<VarArray>(std::move(elements))) {}

Var::Var(const std::map<std::string, Var>& entries)
    : value_(std::make_shared<VarObject>(VarObject::Map(entries.begin(), entries.end()))) {}

Var::Var(const std::unordered_map<std::string, Var>& entries)
    : value_(std::make_shared<VarObject>(entries)) {}

Var::Var(std::unordered_map<std::string, Var>&& entries)
    : value_(std::make_shared<VarObject>(std::move(entries))) {}

Var::Var(const std::vector<double>& numbers) : Var(detail::arrayOfHolders(numbers)) {}

Var& Var::classObject() const { return value_->classObject(); }

std::string Var::typeName() const { return classObject().as<VarClass>().name; }

std::uint64_t Var::length() const { return value_->length(); }

Var Var::clone(int depth) const { return value_->clone(depth); }

bool Var::isUndefined() const { return value_->ptr(typeid(void)) != nullptr; }

bool Var::isNull() const { return value_->ptr(typeid(std::nullptr_t)) != nullptr; }

bool Var::isArray() const { return value_->ptr(typeid(VarArray)) != nullptr; }

bool Var::isObject() const { return value_->ptr(typeid(VarObject)) != nullptr; }

bool Var::isFunction() const { return value_->ptr(typeid(VarFunction)) != nullptr; }

VarObject* Var::objectHolder() const {
  return static_cast<VarObject*>(value_->ptr(typeid(VarObject)));
}

VarIterator Var::begin() const {
  if (VarObject* object = objectHolder())
    return {Var(VarObject::Map::const_iterator(object->value.cbegin())), 0};
  if (auto* array = static_cast<VarArray*>(value_->ptr(typeid(VarArray)))) {
    return {Var(std::vector<Var>::const_iterator(array->value.cbegin())), 1};
  }
  return {*this, 2};
}

VarIterator Var::end() const {
  if (VarObject* object = objectHolder())
    return {Var(VarObject::Map::const_iterator(object->value.cend())), 0};
  if (auto* array = static_cast<VarArray*>(value_->ptr(typeid(VarArray)))) {
    return {Var(std::vector<Var>::const_iterator(array->value.cend())), 1};
  }
  return {*this, 2};
}

}  // namespace sv
