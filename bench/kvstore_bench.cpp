// Key-value store operations per second: each is a round trip to the store's worker thread.

#include "db/KLKeyValueDB.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string storePath() {
    static const std::string folder = [] {
        std::string base = "/tmp/lumo-kvbench-XXXXXX";
        if (!mkdtemp(base.data()))
            std::abort();
        return base;
    }();
    return folder + "/bench.prefsdb";
}

CILA::VObject typicalValue() {
    CILA::VObject value = CILA::VObject::makeHash();
    value.store("IngestPrimaryDestPath", "/home/photographer/Pictures/{year4}/{month0}-{day0} {Job}");
    value.store("IngestIncremental", true);
    value.store("IngestSequenceStart", 1);
    return value;
}

void BM_KVStore(benchmark::State& state) {
    std::filesystem::remove(storePath());
    auto store = KLKeyValueDB::create(storePath());
    const CILA::VObject value = typicalValue();
    std::int64_t i = 0;
    for (auto _ : state)
        store->storeKeyValue("key" + std::to_string(i++ % 1000), value);
    store->endTransaction();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KVStore)->UseRealTime();

void BM_KVFetch(benchmark::State& state) {
    auto store = KLKeyValueDB::create(storePath());
    for (int i = 0; i < 1000; ++i)
        store->storeKeyValue("key" + std::to_string(i), typicalValue());
    store->endTransaction();
    CILA::VObject value;
    std::int64_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(store->fetchKeyValue("key" + std::to_string(i++ % 1000), value));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KVFetch)->UseRealTime();

void BM_KVStoreAndCommit(benchmark::State& state) {
    auto store = KLKeyValueDB::create(storePath());
    const CILA::VObject value = typicalValue();
    for (auto _ : state) {
        store->storeKeyValue("Answer", value);
        store->endTransaction(); // synchronous = FULL: one fsync per commit
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KVStoreAndCommit)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
