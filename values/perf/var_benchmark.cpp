// Speed of the value core on the paths every frame takes: making and copying values,
// conversions, calls through overloaded function values and point lists in payloads.
#include "values/function.h"
#include "values/var.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

using sv::Var;

void constructInt(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(Var(++i));
}
BENCHMARK(constructInt);

void constructString(benchmark::State& state) {
  const std::string text = "sbt.dense_frame";
  for (auto _ : state) benchmark::DoNotOptimize(Var(text));
}
BENCHMARK(constructString);

void constructObject(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Var{{"a", 1}, {"b", 2.5}, {"c", "text"}});
}
BENCHMARK(constructObject);

void copyHandle(benchmark::State& state) {
  Var v(42);
  for (auto _ : state) {
    Var copy = v;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(copyHandle);

void castAsHeldInt(benchmark::State& state) {
  Var v(42);
  for (auto _ : state) benchmark::DoNotOptimize(v.castAs<int>());
}
BENCHMARK(castAsHeldInt);

void castAsDoubleToInt(benchmark::State& state) {
  Var v(42.5);
  for (auto _ : state) benchmark::DoNotOptimize(v.castAs<int>());
}
BENCHMARK(castAsDoubleToInt);

void callOverloaded(benchmark::State& state) {
  Var f(sv::VarFunction([](const std::string& s) { return static_cast<int>(s.size()); }));
  f.as<sv::VarFunction>().next = Var(sv::VarFunction([](int x) { return x + 1; }));
  Var arg(7);  // taken by the second overload, after the first one fails
  for (auto _ : state) benchmark::DoNotOptimize(f.as<sv::VarFunction>().call(arg));
}
BENCHMARK(callOverloaded);

void callFirstOverload(benchmark::State& state) {
  Var f(sv::VarFunction([](int x) { return x + 1; }));
  f.as<sv::VarFunction>().next =
      Var(sv::VarFunction([](const std::string& s) { return static_cast<int>(s.size()); }));
  Var arg(7);
  for (auto _ : state) benchmark::DoNotOptimize(f.as<sv::VarFunction>().call(arg));
}
BENCHMARK(callFirstOverload);

std::vector<pi::Point3f> makePoints() {
  std::vector<pi::Point3f> points(500000);
  for (std::size_t i = 0; i < points.size(); ++i)
    points[i] = pi::Point3f(i * 0.5f, i * 0.25f, 1.0f);
  return points;
}

void pointListIntoValue(benchmark::State& state) {
  const std::vector<pi::Point3f> points = makePoints();
  for (auto _ : state) benchmark::DoNotOptimize(Var(points));
}
BENCHMARK(pointListIntoValue)->Unit(benchmark::kMillisecond);

void pointListOutOfValue(benchmark::State& state) {
  const Var v(makePoints());
  for (auto _ : state) benchmark::DoNotOptimize(v.castAs<std::vector<pi::Point3f>>());
}
BENCHMARK(pointListOutOfValue)->Unit(benchmark::kMillisecond);

void pointListRoundTrip(benchmark::State& state) {
  const std::vector<pi::Point3f> points = makePoints();
  for (auto _ : state) benchmark::DoNotOptimize(Var(points).castAs<std::vector<pi::Point3f>>());
}
BENCHMARK(pointListRoundTrip)->Unit(benchmark::kMillisecond);

}  // namespace
