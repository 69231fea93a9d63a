// Notice benchmark (Google Benchmark): the cost of composing a rejection
// notice whose placeholder values come from a hostile peer.
//
//   notice_bench [benchmark flags]
//
// The custom text "Bad HELO %HELO%" is stored for require_helo (21) in a
// private System V IPC namespace, so no host segment is touched. The peer's
// HELO is n copies of "%FROM%" and its sender 4 KB: each pass of the
// placeholder filling sees what the previous one inserted, so the text the
// passes work on grows to n * 4 KB while the reply line stays within 512
// octets. The time per reply should grow with n, not with n squared (the
// composer stops a pass as soon as the line can no longer fit).
// BM_ReplaceAllGrowing times one placeholder pass that has to build the
// whole grown text; BM_ComposeOrdinary is the everyday case.
#include "frame/load_spp_env.h"
#include "rules/custom_notice.h"
#include "rules/notice.h"
#include "rules/product.h"
#include "util/general_funcs.h"

#include <benchmark/benchmark.h>

#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kNoticeId = 21;

void BM_ComposeHostileHelo(benchmark::State &state) {
  std::string helo;
  for (int64_t i = 0; i < state.range(0); ++i)
    helo += "%FROM%";
  std::string from = std::string(4096 - 12, 's') + "@example.net";
  char ip[] = "192.0.2.10";
  spp_state record = empty_state;
  record.remote_ip = ip;
  record.helo = helo.data();
  record.mail_from = from.data();
  size_t reply_size = 0;
  for (auto _ : state) {
    char *notice = compose_notice(kNoticeId, "system", CORVANE_BANNER, record);
    reply_size = notice ? std::strlen(notice) : 0;
    std::free(notice);
  }
  state.counters["reply_octets"] = static_cast<double>(reply_size);
}
BENCHMARK(BM_ComposeHostileHelo)
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(4000)
    ->Arg(8000)
    ->Unit(benchmark::kMillisecond);

// One pass on its own, where the text must grow: n copies of "%FROM%"
// become n copies of the 4 KB sender (4 to 32 MB). Time per output byte
// should stay flat.
void BM_ReplaceAllGrowing(benchmark::State &state) {
  std::string text;
  for (int64_t i = 0; i < state.range(0); ++i)
    text += "%FROM%";
  const std::string from = std::string(4096 - 12, 's') + "@example.net";
  for (auto _ : state) {
    char *work = strdup(text.c_str());
    replace_all(&work, "%FROM%", from.c_str());
    benchmark::DoNotOptimize(work);
    std::free(work);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) *
                          static_cast<int64_t>(from.size()));
}
BENCHMARK(BM_ReplaceAllGrowing)
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(4000)
    ->Arg(8000)
    ->Unit(benchmark::kMillisecond);

void BM_ComposeOrdinary(benchmark::State &state) {
  char ip[] = "192.0.2.10";
  char helo[] = "mail.example.net";
  char from[] = "alice@example.net";
  spp_state record = empty_state;
  record.remote_ip = ip;
  record.helo = helo;
  record.mail_from = from;
  for (auto _ : state)
    std::free(compose_notice(kNoticeId, "system", CORVANE_BANNER, record));
}
BENCHMARK(BM_ComposeOrdinary)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv) {
  if (unshare(CLONE_NEWIPC) != 0) {
    std::perror("notice_bench: unshare(CLONE_NEWIPC)");
    return 1;
  }
  if (store_custom_notice(kNoticeId, "Bad HELO %HELO%") != 1) {
    std::fprintf(stderr, "notice_bench: cannot store the custom text\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
