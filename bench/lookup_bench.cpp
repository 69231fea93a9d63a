// Lookup benchmark (Google Benchmark): the IP-reputation map lookups on the
// plug-in's hot path, over ten real-size maps built with the map builder.
//
//   lookup_bench [benchmark flags]   runs the benchmarks
//   lookup_bench --write-maps DIR    writes the ten maps (bench01 .. bench10)
//                                    into DIR and exits; startup_bench --ipr
//                                    DIR times the plug-in with them enabled
//
// Each map holds a few thousand blocks (mostly /32 and /24, some /16 to
// /23) clustered in a few hundred /16s, the way published block lists
// cluster. The benchmark's client 192.0.2.10 is on none of them, but every
// map lists other addresses of 192.0.0.0/16, so its lookup takes the full
// three reads, as an accepted client's usually does.
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
constexpr int kBlocksPerMap = 3000;
constexpr const char *kClient = "192.0.2.10";

std::string ip_text(uint32_t host_order) {
  struct in_addr address;
  address.s_addr = htonl(host_order);
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

std::string map_name(int index) {
  std::string number = std::to_string(index + 1);
  return "bench" + std::string(number.size() < 2 ? "0" : "") + number;
}

// The network list of map `index`: deterministic, kBlocksPerMap blocks.
std::string bench_networks(int index) {
  std::mt19937 shared(7); // the busy /8s, common to every list
  std::vector<uint32_t> busy_slash8;
  while (busy_slash8.size() < 24) {
    uint32_t a = 1 + shared() % 223;
    if (a != 10 && a != 127 && a != 192)
      busy_slash8.push_back(a);
  }
  std::mt19937 random(1000 + static_cast<unsigned>(index));
  std::vector<uint32_t> busy_slash16;
  for (int i = 0; i < 250; ++i)
    busy_slash16.push_back(busy_slash8[random() % busy_slash8.size()] << 8 |
                           (random() & 0xFF));
  const uint32_t client = ntohl(inet_addr(kClient));
  std::string text = "# benchmark list " + map_name(index) + "\n";
  // Neighbours of the client: its /16 needs a bitmap, its own bit is clear.
  text += "192.0.0.0/24\n192.0.3.0/24\n192.0.2.66\n";
  for (int i = 3; i < kBlocksPerMap; ++i) {
    const uint32_t roll = random() % 100;
    const unsigned prefix = roll < 55   ? 32
                            : roll < 85 ? 24
                            : roll < 95 ? 21 + random() % 3
                                        : 16 + random() % 5;
    uint32_t address = busy_slash16[random() % busy_slash16.size()] << 16 |
                       (random() & 0xFFFF);
    const uint32_t mask = 0xFFFFFFFFu << (32 - prefix);
    if ((client & mask) == (address & mask))
      address ^= 0x01000000; // never the client
    text += ip_text(address & mask) + "/" + std::to_string(prefix) + "\n";
  }
  return text;
}

bool write_text(const std::string &path, const std::string &text) {
  std::FILE *file = std::fopen(path.c_str(), "w");
  if (!file)
    return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && ok;
}

int write_maps(const std::string &directory) {
  for (int i = 0; i < kMaps; ++i) {
    const std::string list = directory + "/" + map_name(i) + ".txt";
    const std::string map = directory + "/" + map_name(i);
    char error[256];
    if (!write_text(list, bench_networks(i)) ||
        ipr_build_map(list.c_str(), map.c_str(), error, sizeof error) != 0 ||
        unlink(list.c_str()) != 0) {
      std::fprintf(stderr, "lookup_bench: %s: %s\n", map.c_str(), error);
      return 1;
    }
  }
  return 0;
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
