// Encoding and decoding values: a preferences-sized hash (about 20 mixed entries) and a vector of
// 10,000 elements. Items per second are values (every nested value counts once).

#include "archive/PacketBuf.h"
#include "archive/VObject.h"

#include <benchmark/benchmark.h>

#include <string>

using CILA::PacketBuf;
using CILA::VObject;

namespace {

VObject preferences() {
    VObject prefs = VObject::makeHash();
    for (int i = 0; i < 6; ++i)
        prefs.store("IntSetting" + std::to_string(i), i * 1000 - 2500);
    for (int i = 0; i < 4; ++i)
        prefs.store("Flag" + std::to_string(i), i % 2 == 0);
    prefs.store("Zoom", 1.25);
    prefs.store("Gamma", 2.2);
    prefs.store("IngestPrimaryDestPath", "/home/photographer/Pictures/Ingest/{year4}/{month0}");
    prefs.store("IPTCFieldSeparator", ",");
    prefs.store("LastCaption", std::string(120, 'c'));
    prefs.store("Mode", VObject::makeSymbol("contact_sheet"));
    VObject recent = VObject::makeVector();
    for (int i = 0; i < 5; ++i)
        recent.append("/media/card/DCIM/10" + std::to_string(i) + "CANON");
    prefs.store("RecentFolders", recent);
    VObject window = VObject::makeHash();
    window.store("x", 10);
    window.store("y", 20);
    window.store("w", 1600);
    window.store("h", 1000);
    prefs.store("Window", window);
    prefs.store("Empty", VObject());
    prefs.store("Tags", VObject::makeVector());
    return prefs;
}

VObject bigVector() {
    VObject v = VObject::makeVector();
    for (int i = 0; i < 10000; ++i) {
        switch (i % 4) {
        case 0:
            v.append(i * 7919);
            break;
        case 1:
            v.append(i * 0.5);
            break;
        case 2:
            v.append("item" + std::to_string(i));
            break;
        default:
            v.append(i % 3 == 0);
        }
    }
    return v;
}

std::int64_t countValues(const VObject& v) {
    std::int64_t n = 1;
    if (v.type() == VObject::DT_VECTOR)
        for (const VObject& e : v.getvec())
            n += countValues(e);
    if (v.type() == VObject::DT_HASH)
        for (const auto& [key, e] : v.gethash())
            n += countValues(e);
    return n;
}

void encode(benchmark::State& state, const VObject& value) {
    PacketBuf out;
    for (auto _ : state) {
        out.clear();
        value.serialize(out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * countValues(value));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(out.size()));
}

void decode(benchmark::State& state, const VObject& value) {
    PacketBuf in;
    value.serialize(in);
    for (auto _ : state) {
        in.setReadPos(0);
        VObject v = VObject::deserialize(in);
        benchmark::DoNotOptimize(v);
    }
    state.SetItemsProcessed(state.iterations() * countValues(value));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(in.size()));
}

void BM_EncodePreferences(benchmark::State& state) {
    encode(state, preferences());
}
void BM_DecodePreferences(benchmark::State& state) {
    decode(state, preferences());
}
void BM_EncodeVector10000(benchmark::State& state) {
    encode(state, bigVector());
}
void BM_DecodeVector10000(benchmark::State& state) {
    decode(state, bigVector());
}

} // namespace

BENCHMARK(BM_EncodePreferences);
BENCHMARK(BM_DecodePreferences);
BENCHMARK(BM_EncodeVector10000);
BENCHMARK(BM_DecodeVector10000);
BENCHMARK_MAIN();
