#pragma once

// The dynamic value of the whole program. A `sv::Var` is a small handle that shares one
// polymorphic holder (`sv::VarValue`); the holder's concrete class says what is held:
// nothing (Undefined), null, a number, a string, an object, an array, a class record, a
// function or any native object. Copying a handle shares the holder; `clone` copies the value.
//
// Behaviour of a held type lives in its class record (`sv::VarClass`): conversions, element
// access and calls find their methods there by name. Wrapping native callables into function
// values (`sv::VarFunction(callable)`, `VarClass::def`) needs "values/function.h" as well;
// the dictionary and buffer records are in "values/var_dict.h" and "values/var_buffer.h".
//
// Note: brace initialisation is the initializer-list constructor, so `sv::Var{x}` is an array
// holding x (or an object for [key, value] pairs); write `sv::Var(x)` for the value itself.

#include "values/point.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <typeindex>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sv {

class Var;
class VarValue;
template <typename T>
class VarValue_;
class VarObject;
class VarArray;
class VarClass;
class VarFunction;
class VarDict;
struct VarBuffer;
struct VarIterator;

namespace detail {
template <typename T>
struct IsGenericHeld;
template <typename T>
struct VarCast;
template <typename T>
struct VarConvert;
// Turns a native callable into a function record; defined in values/function.h.
template <typename F, typename Enable = void>
struct VarFunctionMaker;

// Callables with one fixed signature: function pointers and objects with one operator().
template <typename F, typename Enable = void>
struct HasCallOperator : std::false_type {};
template <typename F>
struct HasCallOperator<F, std::void_t<decltype(&F::operator())>> : std::true_type {};
template <typename F>
struct IsWrappable
    : std::bool_constant<HasCallOperator<F>::value ||
                         (std::is_pointer_v<F> && std::is_function_v<std::remove_pointer_t<F>>)> {};
}  // namespace detail

// The handle. Never empty (except after a move): a default handle shares Undefined.
class Var {
 public:
  Var();
  Var(const Var&) = default;
  Var(Var&&) noexcept = default;
  Var& operator=(const Var&) = default;
  Var& operator=(Var&&) noexcept = default;
  ~Var() = default;

  // Takes ownership of a holder made with `new`.
  explicit Var(VarValue* holder);
  explicit Var(std::shared_ptr<VarValue> holder);

  Var(bool value);
  Var(int value);
  Var(double value);
  Var(unsigned int value);
  Var(std::uint64_t value);
  Var(const std::string& text);
  Var(std::string&& text);
  // A C string becomes a string value; a null pointer gives Null.
  Var(const char* text);
  // An object when every element is a [text, value] pair (or the list is empty), else an array.
  Var(std::initializer_list<Var> list);
  Var(const std::vector<Var>& elements);
  Var(std::vector<Var>&& elements);
  Var(const std::map<std::string, Var>& entries);
  Var(const std::unordered_map<std::string, Var>& entries);
  Var(std::unordered_map<std::string, Var>&& entries);
  // Number and point lists become arrays of number and point values.
  Var(const std::vector<double>& numbers);
  template <typename E>
  Var(const std::vector<pi::Point3_<E>>& points);
  // An empty pointer gives Null.
  template <typename X, std::enable_if_t<!std::is_base_of_v<VarValue, X>, int> = 0>
  Var(const std::shared_ptr<X>& pointer);
  // Any other native object (matrix, point, record, future, publisher ...) is held by copy.
  template <typename T, typename D = std::decay_t<T>,
            std::enable_if_t<detail::IsGenericHeld<D>::value, int> = 0>
  Var(T&& value);

  // The two process-wide values. Read-only: a write through them would change every default.
  static const Var& Undefined();
  static const Var& Null();
  // The process-wide root object.
  static Var& root();

  VarValue* holder() const { return value_.get(); }
  // The handle of the held type's class record.
  Var& classObject() const;
  // The class name of the held type, as messages print it.
  std::string typeName() const;
  std::uint64_t length() const;
  Var clone(int depth) const;

  template <typename T>
  bool is() const;
  bool isUndefined() const;
  bool isNull() const;
  bool isArray() const;
  bool isObject() const;
  bool isFunction() const;

  // Strict view: a reference to the held T, else "Can not treat ... as ...".
  template <typename T>
  T& as() const;
  // Conversion: the held T, else the class conversion methods, else "Unable cast ... to ...".
  template <typename T>
  T castAs() const;
  // The conversion step behind castAs: a value holding T, or Undefined.
  template <typename T>
  Var cast() const;
  // Overwrites the held T in place (seen through every sharing handle), else gives this
  // handle a new holder.
  template <typename T>
  Var& set(const T& value);

  // Named setting with a default; a dotted name walks nested objects. A missing setting is
  // stored with its default.
  template <typename T>
  T get(const std::string& name, T def, bool dotted = true);
  void set(const std::string& name, const Var& value, bool dotted = true);

  // Writable element access: an Undefined value becomes an object; a missing key is inserted
  // as Undefined.
  Var& operator[](const Var& key);
  Var& operator[](const std::string& key);
  Var& operator[](const char* key);
  Var& operator[](int index);
  // Read-only element access through the class's "__getitem__" or a property.
  Var operator[](const Var& key) const;

  Var operator+(const Var& rhs) const;
  bool operator<(const Var& rhs) const;
  bool operator==(const Var& rhs) const;

  // Appends under the array's mutex; a non-array throws.
  void push_back(const Var& element) const;

  // Calls a function value, or a class value's "__init__".
  Var call(const Var& arg) const;
  Var call(const Var& arg0, const Var& arg1) const;
  Var call(const Var& arg0, const Var& arg1, const Var& arg2) const;

  VarIterator begin() const;
  VarIterator end() const;

 private:
  Var callList(std::vector<Var> args) const;
  VarObject* objectHolder() const;

  std::shared_ptr<VarValue> value_;
};

// The holder interface. A bare VarValue is the Undefined holder.
class VarValue {
 public:
  VarValue() = default;
  VarValue(const VarValue&) = delete;
  VarValue& operator=(const VarValue&) = delete;

  virtual ~VarValue();
  // The held object when `type` is the held type; the bare holder answers only for void.
  virtual void* ptr(const std::type_info& type);
  virtual Var& classObject();
  virtual std::uint64_t length();
  virtual Var clone(int depth);
};

// A holder of one native value.
template <typename T>
class VarValue_ : public VarValue {
 public:
  explicit VarValue_(const T& v) : value(v) {}
  explicit VarValue_(T&& v) : value(std::move(v)) {}

  void* ptr(const std::type_info& type) override {
    return type == typeid(T) ? static_cast<void*>(&value) : nullptr;
  }
  Var& classObject() override;
  Var clone(int depth) override;

  T value;
};

// A shared pointer answers for its pointee type with the raw pointer.
template <typename X>
class VarValue_<std::shared_ptr<X>> : public VarValue {
 public:
  explicit VarValue_(std::shared_ptr<X> v) : value(std::move(v)) {}

  void* ptr(const std::type_info& type) override {
    if (type == typeid(std::shared_ptr<X>)) return &value;
    if constexpr (!std::is_void_v<X>) {
      if (type == typeid(X)) return const_cast<std::remove_const_t<X>*>(value.get());
    }
    return nullptr;
  }
  Var& classObject() override;
  Var clone(int depth) override;
  virtual std::type_index pointeeType() const { return typeid(X); }

  std::shared_ptr<X> value;
};

class VarException : public std::exception {
 public:
  explicit VarException(const Var& message) : message(message) {}
  // The message text when it is a string, else "VarException".
  const char* what() const noexcept override;

  Var message;
};

// A text-keyed map of values with its own mutex.
class VarObject : public VarValue_<std::unordered_map<std::string, Var>> {
 public:
  using Map = std::unordered_map<std::string, Var>;

  VarObject() : VarValue_(Map()) {}
  explicit VarObject(Map entries) : VarValue_(std::move(entries)) {}

  void* ptr(const std::type_info& type) override;
  Var& classObject() override;
  std::uint64_t length() override;
  Var clone(int depth) override;

  // Replaces or inserts, under the mutex.
  void set(const std::string& key, const Var& v);
  // A copy of the stored handle, or Undefined; never inserts.
  Var get(const std::string& key);
  void erase(const std::string& key);

  std::mutex mutex;
  // When it holds a class record, the object reports that class instead of "object".
  Var cls;
};

// An ordered list of values with its own mutex.
class VarArray : public VarValue_<std::vector<Var>> {
 public:
  VarArray() : VarValue_(std::vector<Var>()) {}
  explicit VarArray(std::vector<Var> elements) : VarValue_(std::move(elements)) {}

  void* ptr(const std::type_info& type) override;
  Var& classObject() override;
  std::uint64_t length() override;
  Var clone(int depth) override;
  // A copy of the element taken under the mutex; Undefined past the end.
  virtual Var at(std::uint64_t index);

  void push_back(const Var& element);

  std::mutex mutex;
};

// A native callable with the class records of its result and parameters, chained to its
// overloads through `next`.
class VarFunction {
 public:
  VarFunction() = default;
  template <typename F, typename D = std::decay_t<F>,
            std::enable_if_t<detail::IsWrappable<D>::value, int> = 0>
  VarFunction(F callable) {
    detail::VarFunctionMaker<D>::make(std::move(callable), *this);
  }

  // Overload resolution: tries the chain in order; the first overload that returns wins.
  Var call(std::vector<Var> args) const;
  Var call(const Var& arg) const;
  Var call(const Var& arg0, const Var& arg1) const;

  // "(param,...)->result", or the fixed signature when one is set.
  std::string signatureText() const;
  // The name line and one line per overload, as failure messages and help texts show them.
  std::string listing() const;

  std::string name;
  std::string signature;
  std::vector<Var> class_list;
  Var next;
  std::function<Var(std::vector<Var>&)> callable;
  bool is_method = false;
  bool is_constructor = false;
  bool checks_arg_count = true;
};

// The class record of a held type.
class VarClass {
 public:
  // A named attribute read and written through a getter and a setter function.
  class VarProperty {
   public:
    Var getter;
    Var setter;
    // Shown above the getter in the class help page.
    std::string doc = std::string();
  };

  VarClass(std::string name, std::type_index type, std::vector<Var> parents = {});

  // The process-wide record handle of T (one record per form of T: T, const T&, ...).
  template <typename T>
  static Var& instance();
  template <typename T>
  static VarClass& Class();

  // Registers a function under a name: a new signature joins the overload chain, a repeated
  // signature is dropped.
  VarClass& def(const std::string& name, const Var& function, bool isMethod);
  template <typename F>
  VarClass& def(const std::string& name, F callable);
  template <typename F>
  VarClass& def_static(const std::string& name, F callable);

  // Member lookup through the parents; a member found in a parent is copied here.
  Var operator[](const std::string& name);

  // Calls the named function of this class (or of a parent) on an instance.
  Var call(const Var& instance, const std::string& name, std::vector<Var> args);
  Var call(const Var& instance, const std::string& name, const Var& arg);

  // The class's help page (what printing the record writes) as text.
  std::string helpString() const;

  std::string name;
  std::string doc;
  std::type_index type;
  Var attr;
  Var init;
  Var str;
  Var getitem;
  Var setitem;
  std::vector<Var> parents;
};

// An iteration position: kind 0 walks an object's entries, 1 an array's elements, 2 any
// other value (the value itself).
struct VarIterator {
  Var position;
  int kind = 2;
};

// Runs the built-in registration (class names and methods). Every compilation unit that
// includes this header holds one, so the built-ins exist before any value is used.
class VarBuiltin {
 public:
  VarBuiltin();
};
static const VarBuiltin varBuiltinRegistration;

// ---------------------------------------------------------------------------------------
// Template bodies.

namespace detail {

Var makeClassRecord(const std::type_info& type);
[[noreturn]] void throwCannotTreat(const Var& value, const Var& targetClass);
[[noreturn]] void throwUnableCast(const Var& value, const Var& targetClass);
// The class-record conversion: the source's "__<target>__" method, then the target's
// "__init__"; Undefined when neither gives a value of the target type.
Var convertThroughClasses(const Var& value, const Var& targetClass, const std::type_info& target);
// Named read on a value that is neither an object nor Undefined ("__getitem__" or property).
Var getThroughClass(const Var& value, const std::string& name);

template <typename T>
struct IsSharedPtr : std::false_type {};
template <typename X>
struct IsSharedPtr<std::shared_ptr<X>> : std::true_type {};

// Types taken by the generic constructor: everything that no dedicated constructor takes.
template <typename T>
struct IsGenericHeld
    : std::bool_constant<
          !std::is_same_v<T, Var> && !std::is_arithmetic_v<T> && !std::is_enum_v<T> &&
          !std::is_pointer_v<T> && !std::is_null_pointer_v<T> && !std::is_array_v<T> &&
          !std::is_base_of_v<VarValue, T> && !std::is_same_v<T, std::string> &&
          !IsSharedPtr<T>::value && !std::is_same_v<T, std::map<std::string, Var>> &&
          !std::is_same_v<T, std::unordered_map<std::string, Var>> &&
          !std::is_same_v<T, std::vector<Var>> && !std::is_same_v<T, std::vector<double>> &&
          !std::is_same_v<T, std::initializer_list<Var>>> {};
template <typename E>
struct IsGenericHeld<std::vector<pi::Point3_<E>>> : std::false_type {};

// The element holders of one number or point list, made in one allocation. Each element
// handle shares ownership of the whole block, so a list of many elements costs one
// allocation instead of one per element; the block goes when its last element goes.
template <typename T>
class HolderBlock {
 public:
  using Holder = VarValue_<T>;

  explicit HolderBlock(std::size_t capacity)
      : holders_(std::allocator<Holder>().allocate(capacity)), capacity_(capacity) {}
  ~HolderBlock() {
    for (std::size_t i = 0; i < size_; ++i) holders_[i].~Holder();
    std::allocator<Holder>().deallocate(holders_, capacity_);
  }
  HolderBlock(const HolderBlock&) = delete;
  HolderBlock& operator=(const HolderBlock&) = delete;

  Holder* add(const T& value) { return new (holders_ + size_++) Holder(value); }

 private:
  Holder* holders_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

// An array value whose elements are holders of T, one per list element, in order.
template <typename T>
Var arrayOfHolders(const std::vector<T>& values) {
  auto block = std::make_shared<HolderBlock<T>>(values.size());
  std::vector<Var> elements;
  elements.reserve(values.size());
  for (const T& value : values)
    elements.emplace_back(std::shared_ptr<VarValue>(block, block->add(value)));
  return Var(std::make_shared<VarArray>(std::move(elements)));
}

// castAs<T> by value: held T, else the conversion step, else "Unable cast".
template <typename T>
struct VarCast {
  static T run(const Var& v) {
    if (void* p = v.holder()->ptr(typeid(T))) return *static_cast<T*>(p);
    Var converted = VarConvert<T>::run(v);
    if (void* p = converted.holder()->ptr(typeid(T))) return *static_cast<T*>(p);
    throwUnableCast(v, VarClass::instance<T>());
  }
};

// castAs<T&> and castAs<const T&>: the held T only, no conversion.
template <typename T>
struct VarCast<T&> {
  static T& run(const Var& v) {
    if (void* p = v.holder()->ptr(typeid(T))) return *static_cast<T*>(p);
    throwUnableCast(v, VarClass::instance<T&>());
  }
};

// A number list or point list: the held vector, else an array converted element by element.
template <typename E, typename A>
struct VarCast<std::vector<E, A>> {
  using Vector = std::vector<E, A>;
  static Vector run(const Var& v) {
    if (void* p = v.holder()->ptr(typeid(Vector))) return *static_cast<Vector*>(p);
    void* array = v.holder()->ptr(typeid(VarArray));
    if (!array) throwUnableCast(v, VarClass::instance<Vector>());
    const std::vector<Var>& elements = static_cast<VarArray*>(array)->value;
    Vector out;
    out.reserve(elements.size());
    for (const Var& element : elements) out.push_back(element.castAs<E>());
    return out;
  }
};

// A shared pointer: the held pointer, or an empty one for Null; nothing is converted.
template <typename X>
struct VarCast<std::shared_ptr<X>> {
  static std::shared_ptr<X> run(const Var& v) {
    if (void* p = v.holder()->ptr(typeid(std::shared_ptr<X>)))
      return *static_cast<std::shared_ptr<X>*>(p);
    if (v.isNull()) return {};
    throwUnableCast(v, VarClass::instance<std::shared_ptr<X>>());
  }
};

// A raw pointer: a held pointer, the address of a held object, null for Null, the characters
// of a string for `const char*`, else the conversion step.
template <typename T>
struct VarCast<T*> {
  static T* run(const Var& v) {
    VarValue* h = v.holder();
    if (void* p = h->ptr(typeid(T*))) return *static_cast<T**>(p);
    if (void* p = h->ptr(typeid(T))) return static_cast<T*>(p);
    if constexpr (std::is_const_v<T>) {
      using Mutable = std::remove_const_t<T>;
      if (void* p = h->ptr(typeid(Mutable*))) return *static_cast<Mutable**>(p);
    }
    if (v.isNull()) return nullptr;
    if constexpr (std::is_same_v<T, const char>) {
      if (void* p = h->ptr(typeid(std::string))) return static_cast<std::string*>(p)->c_str();
    } else {
      Var converted = convertThroughClasses(v, VarClass::instance<T*>(), typeid(T*));
      if (void* p = converted.holder()->ptr(typeid(T*))) return *static_cast<T**>(p);
    }
    throwUnableCast(v, VarClass::instance<T*>());
  }
};

// A non-negative int converts to unsigned int; everything else as the generic rule says.
template <>
struct VarCast<unsigned int> {
  static unsigned int run(const Var& v);
};

template <typename T>
struct VarConvert {
  static Var run(const Var& v) {
    if (v.is<T>()) return v;
    return convertThroughClasses(v, VarClass::instance<T>(), typeid(T));
  }
};

template <typename E, typename A>
struct VarConvert<std::vector<E, A>> {
  using Vector = std::vector<E, A>;
  static Var run(const Var& v) {
    if (v.is<Vector>()) return v;
    if (!v.isArray()) return Var();
    return Var(std::make_shared<VarValue_<Vector>>(VarCast<Vector>::run(v)));
  }
};

}  // namespace detail

template <typename E>
Var::Var(const std::vector<pi::Point3_<E>>& points) : Var(detail::arrayOfHolders(points)) {}

template <typename X, std::enable_if_t<!std::is_base_of_v<VarValue, X>, int>>
Var::Var(const std::shared_ptr<X>& pointer)
    : value_(pointer ? std::make_shared<VarValue_<std::shared_ptr<X>>>(pointer) : Null().value_) {}

template <typename T, typename D, std::enable_if_t<detail::IsGenericHeld<D>::value, int>>
Var::Var(T&& value) : value_(std::make_shared<VarValue_<D>>(std::forward<T>(value))) {}

template <typename T>
bool Var::is() const {
  return value_->ptr(typeid(T)) != nullptr;
}

template <typename T>
T& Var::as() const {
  if (void* p = value_->ptr(typeid(T))) return *static_cast<T*>(p);
  detail::throwCannotTreat(*this, VarClass::instance<T>());
}

template <typename T>
T Var::castAs() const {
  return detail::VarCast<T>::run(*this);
}

template <typename T>
Var Var::cast() const {
  return detail::VarConvert<T>::run(*this);
}

template <typename T>
Var& Var::set(const T& value) {
  if (void* p = value_->ptr(typeid(T))) {
    T& held = *static_cast<T*>(p);
    if (&held != &value) held = value;
    return *this;
  }
  *this = Var(value);
  return *this;
}

template <typename T>
T Var::get(const std::string& name, T def, bool dotted) {
  if (dotted) {
    std::string::size_type dot = name.find('.');
    if (dot != std::string::npos) {
      return (*this)[name.substr(0, dot)].template get<T>(name.substr(dot + 1), def, dotted);
    }
  }
  if (isUndefined()) *this = Var(std::make_shared<VarObject>());
  if (VarObject* object = objectHolder()) {
    Var entry = object->get(name);
    if (entry.is<T>()) return entry.as<T>();
    if (entry.isUndefined()) {
      entry = Var(def);
    } else {
      Var converted = entry.cast<T>();
      if (converted.is<T>()) entry = converted;
    }
    object->set(name, entry);
    return entry.as<T>();
  }
  return detail::getThroughClass(*this, name).as<T>();
}

template <typename T>
Var& VarValue_<T>::classObject() {
  return VarClass::instance<T>();
}

template <typename T>
Var VarValue_<T>::clone(int) {
  // Numbers without a constructor of their own (float, unsigned int ...) keep their type.
  if constexpr (std::is_arithmetic_v<T> || std::is_enum_v<T>) {
    return Var(std::make_shared<VarValue_<T>>(value));
  } else {
    return Var(value);
  }
}

// A C-string holder answers for `char` with the characters; its class is a record of its own.
template <>
inline void* VarValue_<const char*>::ptr(const std::type_info& type) {
  if (type == typeid(char)) return const_cast<char*>(value);
  if (type == typeid(const char*)) return &value;
  return nullptr;
}
template <>
inline Var& VarValue_<const char*>::classObject() {
  return VarClass::instance<const char>();
}
template <>
inline Var VarValue_<const char*>::clone(int) {
  return Var::Undefined();
}
template <>
inline Var VarValue_<std::nullptr_t>::clone(int) {
  return Var::Null();
}

template <typename X>
Var& VarValue_<std::shared_ptr<X>>::classObject() {
  return VarClass::instance<std::shared_ptr<X>>();
}

template <typename X>
Var VarValue_<std::shared_ptr<X>>::clone(int) {
  return Var(value);
}

template <typename T>
Var& VarClass::instance() {
  // Made inside the static initialisation, so concurrent first callers get one record.
  static Var handle(detail::makeClassRecord(typeid(T)));
  return handle;
}

template <typename T>
VarClass& VarClass::Class() {
  return instance<T>().template as<VarClass>();
}

template <typename F>
VarClass& VarClass::def(const std::string& name, F callable) {
  return def(name, Var(VarFunction(std::move(callable))), true);
}

template <typename F>
VarClass& VarClass::def_static(const std::string& name, F callable) {
  return def(name, Var(VarFunction(std::move(callable))), false);
}

}  // namespace sv
