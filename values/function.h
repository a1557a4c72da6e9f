#pragma once

// Wrapping native callables (function pointers, lambdas, std::function) into function values:
// the record lists the class records of the result and parameter types, and its callable
// converts an argument list to the parameter types, calls, and returns the result as a value.

#include "values/var.h"

#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

namespace sv {
namespace detail {

template <typename R, typename... A>
struct CallShape {
  using Result = R;
  using Args = std::tuple<A...>;
};

template <typename M>
struct MemberCallShape;
template <typename C, typename R, typename... A>
struct MemberCallShape<R (C::*)(A...)> : CallShape<R, A...> {};
template <typename C, typename R, typename... A>
struct MemberCallShape<R (C::*)(A...) const> : CallShape<R, A...> {};
template <typename C, typename R, typename... A>
struct MemberCallShape<R (C::*)(A...) noexcept> : CallShape<R, A...> {};
template <typename C, typename R, typename... A>
struct MemberCallShape<R (C::*)(A...) const noexcept> : CallShape<R, A...> {};

// The shape of a callable with one fixed signature.
template <typename F, typename Enable = void>
struct CallableShape;
template <typename R, typename... A>
struct CallableShape<R (*)(A...)> : CallShape<R, A...> {};
template <typename R, typename... A>
struct CallableShape<R (*)(A...) noexcept> : CallShape<R, A...> {};
template <typename F>
struct CallableShape<F, std::void_t<decltype(&F::operator())>>
    : MemberCallShape<decltype(&F::operator())> {};

// How one argument reaches a parameter: a Var parameter gets the element itself, a reference
// parameter needs the element to hold exactly that type, anything else is converted.
template <typename P>
struct VarArg {
  using Stored = std::remove_cv_t<P>;
  static Stored get(Var& v) { return v.castAs<Stored>(); }
};
template <typename T>
struct VarArg<T&> {
  using Stored = T&;
  static T& get(Var& v) { return v.castAs<T&>(); }
};
template <>
struct VarArg<Var> {
  using Stored = Var;
  static Var get(Var& v) { return v; }
};
template <>
struct VarArg<const Var> : VarArg<Var> {};
template <>
struct VarArg<Var&> {
  using Stored = Var&;
  static Var& get(Var& v) { return v; }
};
template <>
struct VarArg<const Var&> {
  using Stored = const Var&;
  static const Var& get(Var& v) { return v; }
};

template <typename R, typename... A, typename F, std::size_t... I>
Var invokeWithArgs(F& f, std::vector<Var>& args, std::index_sequence<I...>) {
  // Overload resolution normally skips a callable given the wrong number of arguments; with
  // that check switched off, too short a list must fail instead of reading past its end.
  if constexpr (sizeof...(A) > 0) {
    if (args.size() < sizeof...(A)) {
      throw VarException(Var("Expected " + std::to_string(sizeof...(A)) + " arguments, got " +
                             std::to_string(args.size()) + "."));
    }
  }
  // Braced initialisation converts the arguments left to right, so the first failing
  // argument is the one reported.
  std::tuple<typename VarArg<A>::Stored...> converted{VarArg<A>::get(args[I])...};
  (void)args;
  if constexpr (std::is_void_v<R>) {
    std::apply(f, std::move(converted));
    return Var();
  } else {
    return Var(std::apply(f, std::move(converted)));
  }
}

template <typename R, typename... A, typename F>
void fillFunction(F f, VarFunction& record, std::tuple<A...>*) {
  static_assert(((!std::is_rvalue_reference_v<A>)&&...),
                "function values cannot take rvalue references");
  record.class_list = std::vector<Var>{VarClass::instance<R>(), VarClass::instance<A>()...};
  record.callable = [f = std::move(f)](std::vector<Var>& args) mutable -> Var {
    return invokeWithArgs<R, A...>(f, args, std::index_sequence_for<A...>{});
  };
}

template <typename F, typename Enable>
struct VarFunctionMaker {
  static void make(F f, VarFunction& record) {
    using Shape = CallableShape<F>;
    fillFunction<typename Shape::Result>(std::move(f), record,
                                         static_cast<typename Shape::Args*>(nullptr));
  }
};

}  // namespace detail
}  // namespace sv
