// Printing and reading a large array of objects, and keyed and indexed element reads.
#include "values/json.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

// An array of `count` point records, each an object of five members.
sv::Var pointRecords(int count) {
  std::vector<sv::Var> records;
  records.reserve(count);
  for (int i = 0; i < count; ++i) {
    sv::VarObject::Map record;
    record["id"] = sv::Var(i);
    record["name"] = sv::Var("point " + std::to_string(i));
    record["x"] = sv::Var(i * 0.25);
    record["y"] = sv::Var(-i / 3.0);
    record["visible"] = sv::Var(i % 2 == 0);
    records.emplace_back(record);
  }
  return sv::Var(records);
}

void BM_PrintArrayOfObjects(benchmark::State& state) {
  const sv::Var records = pointRecords(static_cast<int>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = sv::Json::dump(records);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
}
BENCHMARK(BM_PrintArrayOfObjects)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_ReadArrayOfObjects(benchmark::State& state) {
  const std::string text = sv::Json::dump(pointRecords(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    sv::Var value = sv::Json::load(text);
    benchmark::DoNotOptimize(value.holder());
  }
  state.SetBytesProcessed(static_cast<int64_t>(text.size() * state.iterations()));
}
BENCHMARK(BM_ReadArrayOfObjects)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_KeyedRead(benchmark::State& state) {
  sv::VarObject::Map members;
  std::vector<sv::Var> keys;
  for (int i = 0; i < 100; ++i) {
    members["member" + std::to_string(i)] = sv::Var(i);
    keys.emplace_back("member" + std::to_string(i));
  }
  const sv::Var object(members);
  std::size_t k = 0;
  for (auto _ : state) {
    sv::Var v = object[keys[k]];
    benchmark::DoNotOptimize(v.holder());
    k = (k + 1) % keys.size();
  }
}
BENCHMARK(BM_KeyedRead);

void BM_IndexedRead(benchmark::State& state) {
  const sv::Var records = pointRecords(10000);
  int i = 0;
  for (auto _ : state) {
    sv::Var v = records[sv::Var(i)];
    benchmark::DoNotOptimize(v.holder());
    i = (i + 7) % 10000;
  }
}
BENCHMARK(BM_IndexedRead);

void BM_WritableKeyedAccess(benchmark::State& state) {
  sv::Var object;
  for (int i = 0; i < 100; ++i) object["member" + std::to_string(i)] = sv::Var(i);
  const std::string key = "member42";
  for (auto _ : state) {
    sv::Var& v = object[key];
    benchmark::DoNotOptimize(&v);
  }
}
BENCHMARK(BM_WritableKeyedAccess);

}  // namespace
