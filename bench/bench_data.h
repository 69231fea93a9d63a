// Data for the benchmarks, made the same way each time.
//
//   bench_map_name(i)          "bench01" .. "bench10"
//   bench_networks(i)          the network list of map i: 3000 blocks (mostly
//                              /32 and /24, some /16 to /23) clustered in a
//                              few hundred /16s, the way published block
//                              lists cluster; every map lists neighbours of
//                              the benchmark client 192.0.2.10 (so its
//                              lookup takes all three reads), never the
//                              client itself.
//   write_bench_maps(dir, n)   builds maps 0 .. n-1 into dir/benchNN with the
//                              map builder; 0, or 1 after a message.
//   table_patterns(path)       the patterns of a "/pattern/ ACTION" table
//                              (such as the shared data's fqrdns.pcre), as
//                              sed -n -E 's#^/(.*)/[[:space:]]+[A-Z].*$#\1#p'
//                              takes them; empty when it cannot be read.
#pragma once

#include "lookup/ipr_map_builder.h"

#include <arpa/inet.h>
#include <regex.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

inline constexpr const char *BENCH_CLIENT = "192.0.2.10";
inline constexpr int BENCH_BLOCKS_PER_MAP = 3000;

inline std::string bench_ip_text(uint32_t host_order) {
  struct in_addr address;
  address.s_addr = htonl(host_order);
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

inline std::string bench_map_name(int index) {
  std::string number = std::to_string(index + 1);
  return "bench" + std::string(number.size() < 2 ? "0" : "") + number;
}

inline std::string bench_networks(int index) {
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
  const uint32_t client = ntohl(inet_addr(BENCH_CLIENT));
  std::string text = "# benchmark list " + bench_map_name(index) + "\n";
  // Neighbours of the client: its /16 needs a bitmap, its own bit is clear.
  text += "192.0.0.0/24\n192.0.3.0/24\n192.0.2.66\n";
  for (int i = 3; i < BENCH_BLOCKS_PER_MAP; ++i) {
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
    text += bench_ip_text(address & mask) + "/" + std::to_string(prefix) + "\n";
  }
  return text;
}

inline bool bench_write_text(const std::string &path, const std::string &text) {
  std::FILE *file = std::fopen(path.c_str(), "w");
  if (!file)
    return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && ok;
}

inline int write_bench_maps(const std::string &directory, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string list = directory + "/" + bench_map_name(i) + ".txt";
    const std::string map = directory + "/" + bench_map_name(i);
    char error[256] = "cannot write the network list";
    if (!bench_write_text(list, bench_networks(i)) ||
        ipr_build_map(list.c_str(), map.c_str(), error, sizeof error) != 0 ||
        unlink(list.c_str()) != 0) {
      std::fprintf(stderr, "bench: %s: %s\n", map.c_str(), error);
      return 1;
    }
  }
  return 0;
}

inline std::vector<std::string> table_patterns(const std::string &path) {
  std::vector<std::string> patterns;
  std::ifstream in(path);
  regex_t row;
  if (!in || regcomp(&row, "^/(.*)/[[:space:]]+[A-Z]", REG_EXTENDED) != 0)
    return patterns;
  regmatch_t part[2];
  for (std::string line; std::getline(in, line);)
    if (regexec(&row, line.c_str(), 2, part, 0) == 0)
      patterns.push_back(
          line.substr(static_cast<size_t>(part[1].rm_so),
                      static_cast<size_t>(part[1].rm_eo - part[1].rm_so)));
  regfree(&row);
  return patterns;
}
