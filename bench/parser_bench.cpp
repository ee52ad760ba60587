// Our LVM2 metadata parser and serialiser against the configuration parser and writer of
// libdevmapper (the one LVM2 itself uses), on generated metadata of about 100 KB, 1 MB and
// 10 MB. After the Google Benchmark output (whose "M/s" are 2^20 bytes a second) it prints a
// table of MB/s (1 MB = 10^6 bytes of metadata text, for every column, from wall-clock time) and
// our rate divided by libdevmapper's linear mode; it exits with 1 when either ratio is below 1.5 at
// some size.
//
// Parse columns time text -> tree and the release of the tree, for both libraries. libdevmapper
// is run in its default mode (dm_config_from_string, which checks for duplicate nodes) and in its
// linear mode (dm_config_create + dm_config_parse_without_dup_node_check). Dump columns time
// tree -> text: our dump() into a std::string, and dm_config_write_node() appending each line to
// a std::string.
#include <benchmark/benchmark.h>
#include <libdevmapper.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "linux_lvm/LVM_linux_lvm_parser.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "metadata_generator.h"

namespace {

using Parser = LVM_linux_lvm_parser;

struct Size {
    const char* label;
    size_t bytes;
};
const Size kSizes[] = {{"100KB", 100 * 1000}, {"1MB", 1000 * 1000}, {"10MB", 10 * 1000 * 1000}};

const std::string& text(int index) {
    static std::map<int, std::string> texts;
    auto it = texts.find(index);
    if (it == texts.end()) {
        it = texts.emplace(index, vbbench::generateMetadata(kSizes[index].bytes)).first;
    }
    return it->second;
}

dm_config_tree* dmParseLinear(const std::string& s) {
    dm_config_tree* cft = dm_config_create();
    if (!cft || !dm_config_parse_without_dup_node_check(cft, s.data(), s.data() + s.size())) {
        throw std::runtime_error("libdevmapper refused the generated metadata");
    }
    return cft;
}

int appendLine(const char* line, void* baton) {
    auto* out = static_cast<std::string*>(baton);
    out->append(line);
    out->push_back('\n');
    return 1;
}

void setBytes(benchmark::State& state, int index) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text(index).size()));
}

void ourParse(benchmark::State& state, int index) {
    const std::string& s = text(index);
    for (auto _ : state) {
        Parser parser;
        Parser::NodeAutoPtr root(parser.parse(s.c_str()));
        benchmark::DoNotOptimize(root.get());
    }
    setBytes(state, index);
}

void dmParseDefault(benchmark::State& state, int index) {
    const std::string& s = text(index);
    for (auto _ : state) {
        dm_config_tree* cft = dm_config_from_string(s.c_str());
        if (!cft) {
            state.SkipWithError("libdevmapper refused the generated metadata");
            break;
        }
        benchmark::DoNotOptimize(cft->root);
        dm_config_destroy(cft);
    }
    setBytes(state, index);
}

void dmParseLinearBench(benchmark::State& state, int index) {
    const std::string& s = text(index);
    for (auto _ : state) {
        dm_config_tree* cft = dmParseLinear(s);
        benchmark::DoNotOptimize(cft->root);
        dm_config_destroy(cft);
    }
    setBytes(state, index);
}

void ourDump(benchmark::State& state, int index) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(text(index).c_str()));
    for (auto _ : state) {
        std::string out = Parser::dump(root, 0);
        benchmark::DoNotOptimize(out.data());
    }
    setBytes(state, index);
}

void dmWrite(benchmark::State& state, int index) {
    dm_config_tree* cft = dmParseLinear(text(index));
    for (auto _ : state) {
        std::string out;
        if (!dm_config_write_node(cft->root, appendLine, &out)) {
            state.SkipWithError("dm_config_write_node failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    dm_config_destroy(cft);
    setBytes(state, index);
}

struct Kind {
    const char* name;
    void (*fn)(benchmark::State&, int);
};
const Kind kKinds[] = {{"parse/ours", ourParse},
                       {"parse/dm_linear", dmParseLinearBench},
                       {"parse/dm_default", dmParseDefault},
                       {"dump/ours", ourDump},
                       {"dump/dm_write_node", dmWrite}};

// Keeps every run for the table while the console reporter prints as usual: MB/s of each run
// from its wall-clock time per iteration.
class TableReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, size_t> bytes;                     // metadata size, by benchmark name
    std::map<std::string, std::vector<double>> mbPerSecond;  // by benchmark name

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const std::string& name = run.run_name.function_name;
            if (run.run_type != Run::RT_Iteration || run.error_occurred || !bytes.count(name) ||
                run.iterations == 0 || run.real_accumulated_time <= 0) {
                continue;
            }
            const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
            mbPerSecond[name].push_back(static_cast<double>(bytes[name]) / seconds / 1e6);
        }
    }
};

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The generated texts must be what they claim: readable by both parsers and a valid group.
void checkTexts() {
    for (int i = 0; i < static_cast<int>(sizeof kSizes / sizeof kSizes[0]); ++i) {
        const std::string& s = text(i);
        Parser parser;
        Parser::NodeAutoPtr root(parser.parse(s.c_str()));
        volbridge::lvm2::crossCheckMeta(root, parser, "generated metadata");
        dm_config_destroy(dmParseLinear(s));
        std::string again = Parser::dump(root, 0);
        Parser::NodeAutoPtr reparsed(parser.parse(again.c_str()));
        if (Parser::dump(reparsed, 0) != again) throw std::runtime_error("dump is not stable");
        dm_config_destroy(dmParseLinear(again));  // libdevmapper reads our dump too
        printf("%-6s %9zu bytes of metadata\n", kSizes[i].label, s.size());
    }
}

}  // namespace

int main(int argc, char** argv) {
    checkTexts();
    TableReporter reporter;
    for (const Kind& kind : kKinds) {
        for (int i = 0; i < static_cast<int>(sizeof kSizes / sizeof kSizes[0]); ++i) {
            const std::string name = std::string(kind.name) + "/" + kSizes[i].label;
            reporter.bytes[name] = text(i).size();
            benchmark::RegisterBenchmark(name.c_str(), kind.fn, i)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto rate = [&](const char* kind, const char* size) {
        return median(reporter.mbPerSecond[std::string(kind) + "/" + size]);
    };
    printf("\nMB/s (10^6 bytes of metadata text per second, median of the repetitions)\n");
    printf("%-6s | %10s %10s %10s %7s | %10s %10s %7s\n", "size", "parse ours", "dm linear",
           "dm default", "ratio", "dump ours", "dm write", "ratio");
    bool met = true;
    for (const Size& size : kSizes) {
        const double p = rate("parse/ours", size.label);
        const double pl = rate("parse/dm_linear", size.label);
        const double pd = rate("parse/dm_default", size.label);
        const double d = rate("dump/ours", size.label);
        const double dw = rate("dump/dm_write_node", size.label);
        if (p == 0 && d == 0) continue;  // filtered out
        const double pr = pl > 0 ? p / pl : 0;
        const double dr = dw > 0 ? d / dw : 0;
        printf("%-6s | %10.1f %10.1f %10.1f %6.2fx | %10.1f %10.1f %6.2fx\n", size.label, p, pl, pd,
               pr, d, dw, dr);
        if ((pl > 0 && pr < 1.5) || (dw > 0 && dr < 1.5)) met = false;
    }
    printf("goal (parse and dump each at least 1.5x libdevmapper's linear mode): %s\n",
           met ? "met" : "NOT met");
    return met ? 0 : 1;
}
