// One MD5 looked up in a store, in the process: what a request to the service
// costs in the store alone.
//
//   store_lookup_bench DB LIST [benchmark flags]
//
// LIST is the md5sum list DB was imported from. The store is opened once, as
// the service opens it once per thread. Three cases:
//   held_md5          digests already looked up once, as a service that has
//                     been running a while finds the store's pages mapped;
//   held_md5_first    digests never looked up before in this process;
//   absent_md5        the held digests with one bit flipped.
#include "service/store/store.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::unique_ptr<Store> store;
std::vector<Md5Bytes> held, first, absent;
std::size_t next_first = 0;

void look_up(benchmark::State& state, const std::vector<Md5Bytes>& keys, std::size_t& next,
             StoreStatus expected)
{
    FileRecord record;
    std::string error;
    for (auto _ : state) {
        if (next == keys.size()) {
            state.SkipWithError("out of digests never looked up");
            return;
        }
        if (store->find_md5(keys[next], record, error) != expected) {
            state.SkipWithError("a look-up gave the wrong answer");
            return;
        }
        benchmark::DoNotOptimize(record);
        ++next;
        if (&keys != &first && next == keys.size())
            next = 0;
    }
}

void held_md5(benchmark::State& state)
{
    std::size_t next = 0;
    look_up(state, held, next, StoreStatus::Ok);
}

void held_md5_first(benchmark::State& state)
{
    look_up(state, first, next_first, StoreStatus::Ok);
}

void absent_md5(benchmark::State& state)
{
    std::size_t next = 0;
    look_up(state, absent, next, StoreStatus::NotFound);
}

BENCHMARK(held_md5);
BENCHMARK(held_md5_first)->Iterations(5000);
BENCHMARK(absent_md5);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (argc != 3) {
        std::fputs("usage: store_lookup_bench DB LIST [benchmark flags]\n", stderr);
        return 2;
    }
    std::string error;
    store = open_sqlite_store(argv[1], StoreMode::ReadOnly, error);
    if (!store) {
        std::fprintf(stderr, "store_lookup_bench: %s\n", error.c_str());
        return 2;
    }
    std::ifstream list(argv[2]);
    std::string line;
    for (std::size_t n = 0; std::getline(list, line) && first.size() < 100'000; ++n) {
        Md5Bytes md5{};
        if ((n % 97 != 0 && n % 7 != 3) || !parse_hex(std::string_view(line).substr(0, 32), md5))
            continue;
        if (n % 97 == 0 && held.size() < 10'000) {
            held.push_back(md5);
            md5[15] ^= 1;
            absent.push_back(md5);
        } else if (n % 97 != 0) {
            first.push_back(md5);
        }
    }
    if (held.empty() || first.empty()) {
        std::fputs("store_lookup_bench: too few digests in the list\n", stderr);
        return 2;
    }
    FileRecord record;
    for (const Md5Bytes& md5 : held)
        store->find_md5(md5, record, error);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    store.reset();
    return 0;
}
