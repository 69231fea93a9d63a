// Lookup benchmark (Google Benchmark): the IP-reputation map lookups on the
// plug-in's hot path, over ten real-size maps built with the map builder.
//
//   lookup_bench [benchmark flags]   runs the benchmarks
//   lookup_bench --write-maps DIR    writes the ten maps (bench01 .. bench10)
//                                    into DIR and exits
//
// The maps are those of bench_data.h, which startup_bench enables too. The
// benchmark's client 192.0.2.10 is on none of them, but every map lists
// other addresses of 192.0.0.0/16, so its lookup takes the full three
// reads, as an accepted client's usually does.
#include "bench_data.h"
#include "engine/rule_registry.h"
#include "engine/string_list.h"
#include "lookup/ipr_map_builder.h"
#include "lookup/ipr_maps.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kMaps = 10;
constexpr const char *kClient = BENCH_CLIENT;

std::string ip_text(uint32_t host_order) { return bench_ip_text(host_order); }
std::string map_name(int index) { return bench_map_name(index); }
bool write_text(const std::string &path, const std::string &text) {
  return bench_write_text(path, text);
}
int write_maps(const std::string &directory) {
  return write_bench_maps(directory, kMaps);
}

int remove_entry(const char *path, const struct stat *, int type,
                 struct FTW *) {
  return type == FTW_DP ? rmdir(path) : unlink(path);
}

// The maps of one benchmark run, in a temporary directory.
struct bench_maps {
  std::string directory;
  string_list *names = nullptr;
  std::vector<std::string> name_texts;

  bench_maps() {
    char pattern[] = "/tmp/lookup-bench-XXXXXX";
    if (!mkdtemp(pattern) || write_maps(pattern) != 0)
      std::abort();
    directory = pattern;
    name_texts.reserve(kMaps);
    for (int i = 0; i < kMaps; ++i)
      name_texts.push_back(map_name(i));
    for (std::string &name : name_texts)
      string_list_append(&names, name.data());
    config.ipr_cache_dir = directory.c_str();
  }
  ~bench_maps() {
    string_list_clear(&names);
    nftw(directory.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS);
  }
  std::string path(int index) const {
    return directory + "/" + map_name(index);
  }
};

bench_maps &maps() {
  static bench_maps built;
  return built;
}

void BM_LookupMapFile_Client(benchmark::State &state) {
  const std::string path = maps().path(0);
  for (auto _ : state)
    benchmark::DoNotOptimize(lookupMapFile(path.c_str(), kClient));
}
BENCHMARK(BM_LookupMapFile_Client);

void BM_LookupMapFile_RandomAddresses(benchmark::State &state) {
  const std::string path = maps().path(0);
  std::mt19937 random(42);
  std::vector<std::string> addresses;
  for (int i = 0; i < 4096; ++i)
    addresses.push_back(ip_text(static_cast<uint32_t>(random())));
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        lookupMapFile(path.c_str(), addresses[next].c_str()));
    next = (next + 1) % addresses.size();
  }
}
BENCHMARK(BM_LookupMapFile_RandomAddresses);

void BM_LookupMap_OpenDescriptor(benchmark::State &state) {
  int fd = open(maps().path(0).c_str(), O_RDONLY);
  struct in_addr client;
  inet_aton(kClient, &client);
  for (auto _ : state)
    benchmark::DoNotOptimize(lookupMap(fd, client.s_addr));
  close(fd);
}
BENCHMARK(BM_LookupMap_OpenDescriptor);

void BM_CheckList_TenLists(benchmark::State &state) {
  string_list *names = maps().names;
  for (auto _ : state) {
    string_list *matches = nullptr;
    benchmark::DoNotOptimize(
        checkList(names, kClient, CHECK_LIST_IPR, &matches));
    string_list_clear(&matches);
  }
}
BENCHMARK(BM_CheckList_TenLists);

void BM_BuildMap(benchmark::State &state) {
  const std::string list = maps().directory + "/build.txt";
  const std::string map = maps().directory + "/build";
  if (!write_text(list, bench_networks(0)))
    std::abort();
  char error[256];
  for (auto _ : state)
    if (ipr_build_map(list.c_str(), map.c_str(), error, sizeof error) != 0)
      state.SkipWithError(error);
}
BENCHMARK(BM_BuildMap)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-maps") == 0)
    return write_maps(argv[2]);
  // As in the plug-in without the debug switch: trace lines are dropped
  // before they reach the log socket.
  openlog("lookup_bench", LOG_PID, LOG_MAIL);
  setlogmask(LOG_UPTO(LOG_INFO));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  closelog();
  return 0;
}
