// Pattern-list benchmark: checkRegexList over a realistic host-name pattern
// file, in process, and the parts of its cost (reading the file, compiling
// every pattern, matching with patterns already compiled).
//
//   regex_bench [--source=TABLE] [--benchmark_...]
//   regex_bench [--source=TABLE] --write-patterns=FILE [--count=N]
//
// TABLE is a table of "/pattern/ ACTION" lines with '#' comments (default:
// the shared data's fqrdns.pcre, CORVANE_FQRDNS_TABLE at build time); the
// patterns are taken out of it the way
//   sed -n -E 's#^/(.*)/[[:space:]]+[A-Z].*$#\1#p'
// does. --write-patterns writes the first N (default all) of them to FILE,
// one a line, and exits.
//
// The subject of the full scans matches none of the patterns, so every line
// is read and compiled: the cost of an accepted client's check.
#include "engine/rule_registry.h"
#include "lookup/regex_lists.h"
#include "util/raii.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

#ifndef CORVANE_FQRDNS_TABLE
#define CORVANE_FQRDNS_TABLE "fqrdns.pcre"
#endif

namespace {

constexpr int PATTERN_FLAGS = REG_EXTENDED | REG_ICASE | REG_NOSUB;
constexpr const char *ACCEPTED_SUBJECT = "mail.example.net";

std::vector<std::string> patterns; // taken out of the table
std::string scratch_dir;
// Pattern files written so far: (number of patterns, path).
std::vector<std::pair<size_t, std::string>> written;

bool read_lines(const char *path, std::vector<std::string> &lines) {
  unique_file file(std::fopen(path, "r"));
  if (!file)
    return false;
  std::string line;
  for (int c; (c = std::fgetc(file.get())) != EOF;) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  if (!line.empty())
    lines.push_back(line);
  return !std::ferror(file.get());
}

// The patterns of a "/pattern/ ACTION" table, as the sed line takes them.
bool load_patterns(const char *table) {
  std::vector<std::string> lines;
  if (!read_lines(table, lines))
    return false;
  unique_regex row;
  if (row.compile("^/(.*)/[[:space:]]+[A-Z].*$", REG_EXTENDED) != 0)
    return false;
  for (const std::string &line : lines) {
    regmatch_t match[2];
    if (regexec(row.get(), line.c_str(), 2, match, 0) == 0)
      patterns.push_back(
          line.substr(static_cast<size_t>(match[1].rm_so),
                      static_cast<size_t>(match[1].rm_eo - match[1].rm_so)));
  }
  return !patterns.empty();
}

bool write_patterns(const std::string &path, size_t count) {
  unique_file file(std::fopen(path.c_str(), "w"));
  if (!file)
    return false;
  for (size_t i = 0; i < count && i < patterns.size(); ++i)
    std::fprintf(file.get(), "%s\n", patterns[i].c_str());
  return std::fclose(file.release()) == 0;
}

// A pattern file of the first `count` patterns, written once.
const std::string &file_for(size_t count) {
  for (const auto &[n, path] : written)
    if (n == count)
      return path;
  std::string path = scratch_dir + "/patterns." + std::to_string(count);
  if (!write_patterns(path, count))
    std::fprintf(stderr, "regex_bench: cannot write %s\n", path.c_str());
  written.emplace_back(count, path);
  return written.back().second;
}

size_t count_of(const benchmark::State &state) {
  size_t wanted = static_cast<size_t>(state.range(0));
  return wanted == 0 || wanted > patterns.size() ? patterns.size() : wanted;
}

// ---- the whole operation ---------------------------------------------------

// Read, compile and try every pattern: no match.
void BM_CheckRegexList_NoMatch(benchmark::State &state) {
  const size_t count = count_of(state);
  const std::string &path = file_for(count);
  for (auto _ : state) {
    int rc = checkRegexList(path.c_str(), ACCEPTED_SUBJECT, nullptr);
    if (rc != 0)
      state.SkipWithError("a pattern matched or the file failed");
    benchmark::DoNotOptimize(rc);
  }
  state.counters["patterns"] = static_cast<double>(count);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
}
BENCHMARK(BM_CheckRegexList_NoMatch)
    ->Arg(100)
    ->Arg(300)
    ->Arg(0)
    ->Unit(benchmark::kMicrosecond);

// A subject that an early pattern takes (in fqrdns.pcre the second one, a
// bare dotted quad): the scan stops there.
void BM_CheckRegexList_EarlyMatch(benchmark::State &state) {
  const std::string &path = file_for(patterns.size());
  const char *subject = "192.0.2.10";
  for (auto _ : state) {
    int rc = checkRegexList(path.c_str(), subject, nullptr);
    if (rc != 1)
      state.SkipWithError("no pattern matched");
    benchmark::DoNotOptimize(rc);
  }
}
BENCHMARK(BM_CheckRegexList_EarlyMatch)->Unit(benchmark::kMicrosecond);

// ---- its parts
// ---------------------------------------------------------------

// Reading the file as checkRegexList does, without compiling.
void BM_ReadLinesOnly(benchmark::State &state) {
  const std::string &path = file_for(count_of(state));
  for (auto _ : state) {
    unique_file file(std::fopen(path.c_str(), "r"));
    if (!file) {
      state.SkipWithError("cannot open the pattern file");
      break;
    }
    char line[1024];
    size_t total = 0;
    while (std::fgets(line, sizeof line, file.get()))
      total += std::strlen(line);
    benchmark::DoNotOptimize(total);
  }
}
BENCHMARK(BM_ReadLinesOnly)->Arg(0)->Unit(benchmark::kMicrosecond);

// regcomp and regfree of every pattern, from memory.
void BM_CompileOnly(benchmark::State &state) {
  const size_t count = count_of(state);
  for (auto _ : state) {
    for (size_t i = 0; i < count; ++i) {
      unique_regex re;
      benchmark::DoNotOptimize(re.compile(patterns[i].c_str(), PATTERN_FLAGS));
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
}
BENCHMARK(BM_CompileOnly)->Arg(300)->Arg(0)->Unit(benchmark::kMicrosecond);

// regexec of the subject against patterns compiled beforehand: what a scan
// would cost if compiling were free.
void BM_MatchPrecompiled(benchmark::State &state) {
  const size_t count = count_of(state);
  std::vector<std::unique_ptr<unique_regex>> compiled;
  compiled.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    auto re = std::make_unique<unique_regex>();
    if (re->compile(patterns[i].c_str(), PATTERN_FLAGS) == 0)
      compiled.push_back(std::move(re));
  }
  for (auto _ : state) {
    int hits = 0;
    for (const auto &re : compiled)
      hits += re->matches(ACCEPTED_SUBJECT);
    benchmark::DoNotOptimize(hits);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
}
BENCHMARK(BM_MatchPrecompiled)->Arg(300)->Arg(0)->Unit(benchmark::kMicrosecond);

// isDSL without a pattern file: the built-in pattern, compiled every call.
void BM_IsDslBuiltInPattern(benchmark::State &state) {
  std::string missing = scratch_dir + "/no-dyna.regexes";
  corvane_config saved = config;
  config.dsl_regex_filename = missing.c_str();
  for (auto _ : state)
    benchmark::DoNotOptimize(isDSL("host-10-1-2-3.example"));
  config = saved;
}
BENCHMARK(BM_IsDslBuiltInPattern)->Unit(benchmark::kMicrosecond);

std::string option_value(std::string_view arg, std::string_view name) {
  return arg.substr(0, name.size()) == name
             ? std::string(arg.substr(name.size()))
             : std::string();
}

} // namespace

int main(int argc, char **argv) {
  std::string table = CORVANE_FQRDNS_TABLE;
  std::string write_to;
  size_t write_count = 0;
  std::vector<char *> rest = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (std::string v = option_value(arg, "--source="); !v.empty())
      table = v;
    else if (std::string w = option_value(arg, "--write-patterns="); !w.empty())
      write_to = w;
    else if (std::string n = option_value(arg, "--count="); !n.empty())
      write_count = std::strtoul(n.c_str(), nullptr, 10);
    else
      rest.push_back(argv[i]);
  }
  if (!load_patterns(table.c_str())) {
    std::fprintf(stderr, "regex_bench: no patterns in %s\n", table.c_str());
    return 1;
  }
  if (!write_to.empty()) {
    size_t count = write_count ? write_count : patterns.size();
    if (!write_patterns(write_to, count))
      return 1;
    std::printf("%zu patterns written to %s\n",
                count < patterns.size() ? count : patterns.size(),
                write_to.c_str());
    return 0;
  }

  char dir[] = "/tmp/regex_bench.XXXXXX";
  if (!mkdtemp(dir)) {
    std::perror("regex_bench: mkdtemp");
    return 1;
  }
  scratch_dir = dir;
  std::printf("%zu patterns from %s\n", patterns.size(), table.c_str());

  int bench_argc = static_cast<int>(rest.size());
  benchmark::Initialize(&bench_argc, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  for (const auto &[count, path] : written)
    unlink(path.c_str());
  rmdir(dir);
  return 0;
}
