// Expanding a twelve-variable file-name template for 100,000 photos, as a rename or an ingest of that
// many files would: capture date parts, camera values, metadata fields, file parts and the sequence,
// with substring and case modifiers, in file-name mode. The records are made in memory (1,000 distinct
// ones, cycled), so the run measures the expander and the values, not the disk.
//
//   bench_vars [benchmark options]

#include "NRF/NRFImageInfo.h"
#include "metadata/IPTCFields.h"
#include "metadata/IPTCRec.h"
#include "variables/VariableExpander.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char kTemplate[] =
    "{year4}/{datesort}_{timesort}/{city::UC}_{byline:0,8}_{model}_{shutter}_f{aperture}_"
    "ISO{iso}_{keywords:0,20:lc}_{filenamebase}_{seqn}.{type}";
constexpr int kPhotos = 100000;
constexpr int kDistinct = 1000;

struct Photos {
    std::vector<std::unique_ptr<NRFImageInfoRec>> images;
    std::vector<IPTCRec> records;

    Photos() {
        images.reserve(kDistinct);
        records.resize(kDistinct);
        for (int i = 0; i < kDistinct; ++i) {
            NRFImageInfoRec& image = *images.emplace_back(std::make_unique<NRFImageInfoRec>(
                "/photos/2026/12 Match/DSC_" + std::to_string(1000 + i) + ".NEF", 0x4E4E4546));
            image.m_make = "NIKON CORPORATION";
            image.m_model = "NIKON Z 9";
            image.m_exposureTime = 1.0f / static_cast<float>(125 + i % 4000);
            image.m_fNumber = 2.8f + static_cast<float>(i % 5);
            image.m_iso = 100u << (i % 6);
            IPTCRec& record = records[i];
            record.m_fields[IPTCFieldIndexOf(IPTC_CITY)] = "Zürich";
            record.m_fields[IPTCFieldIndexOf(IPTC_BYLINE)] = "Ana Photographer " + std::to_string(i);
            record.m_fields[IPTCFieldIndexOf(IPTC_KEYWORDS)] = "Football,Stadium,Night,Crowd,Goal";
            record.m_fields[IPTCFieldIndexOf(IPTC_CAPTION)] = "A goal in the last minute of the match.";
        }
    }
};

void BM_ExpandTwelveVariables(benchmark::State& state) {
    static const Photos photos;
    std::size_t bytes = 0;
    for (auto _ : state) {
        VariableContext context;
        context.total = kPhotos;
        context.sequence = 1;
        context.sequenceDigits = 5;
        for (int i = 0; i < kPhotos; ++i) {
            context.index = static_cast<std::uint32_t>(i + 1);
            context.image = photos.images[i % kDistinct].get();
            context.record = &photos.records[i % kDistinct];
            const VariableExpansion expansion = ExpandVariables(kTemplate, context, kVariableFileName);
            context.sequence += expansion.usedSequence ? 1 : 0;
            bytes += expansion.text.size();
            benchmark::DoNotOptimize(expansion.text.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * kPhotos);
    state.counters["bytes/photo"] =
        static_cast<double>(bytes) /
        static_cast<double>(state.iterations() * static_cast<std::int64_t>(kPhotos));
}
BENCHMARK(BM_ExpandTwelveVariables)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
