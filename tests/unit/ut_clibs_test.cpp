// ut_clibs and the older process functions: the effective-user switch, the
// stopwatch, regular-expression extraction, shell commands, the remote
// fetch, the standard-error log function and local midnight.
#include "util/general_funcs_ext.h"
#include "util/ut_clibs.h"

#include "ut_reports.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

namespace {

using strings = std::vector<std::string>;

TEST(UtClibs, RunAsSwitchesOnlyTheEffectiveUserAndOnlyFromRoot) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root";
  ut::library_reports reports;
  EXPECT_EQ(ut_set_run_as("no-such-user-here"), 0);
  EXPECT_EQ(ut_set_run_as("root"), 1);
  EXPECT_EQ(ut_set_run_as("nobody"), 1);
  EXPECT_EQ(geteuid(), getpwnam("nobody")->pw_uid);
  EXPECT_EQ(ut_set_run_as("nobody"), 1);
  EXPECT_EQ(ut_set_run_as("daemon"), 0);
  uid_t real, effective, saved;
  getresuid(&real, &effective, &saved);
  ASSERT_EQ(seteuid(0), 0);
  EXPECT_EQ(real + saved, 0u);
  EXPECT_EQ(reports.lines(),
            (strings{"3 ut_clibs.cpp:# ERROR ut_set_run_as(): Error retrieving "
                     "no-such-user-here UID: [Success]\n",
                     "3 ut_clibs.cpp:# ERROR ut_set_run_as(): This program "
                     "must be run as 'root' or 'daemon' user"}));
}

TEST(UtClibs, StopwatchBorrowsASecondForNegativeMicroseconds) {
  ut::library_reports reports;
  setenv("VERBOSEDEBUG", "", 1);
  const ut_stopwatch w = {10, 900000, 12, 100000};
  EXPECT_DOUBLE_EQ(__ut_stopwatch_elapsed(&w), 1.2);
  EXPECT_EQ(reports.lines()[0], "7 ut_clibs.cpp:# DEBUG "
                                "__ut_stopwatch_elapsed(): 2 secs -800000 "
                                "usecs");
  ut_stopwatch never = {}, started;
  EXPECT_EQ(ut_stopwatch_stop(&never), -1.0);
  ASSERT_EQ(ut_stopwatch_start(&started), 1);
  EXPECT_GE(ut_stopwatch_stop(&started), 0.0);
  EXPECT_NE(started.stop_sec, 0);
}

TEST(OlderFuncs, RegexExtractFindsTheMatchAndTheSubMatch) {
  const struct {
    const char *pattern, *sub_pattern, *text;
    int result;
    const char *extracted; // what the string holds afterwards
  } cases[] = {{"[0-9]+", nullptr, "ab 12 34", 0, "12"},
               {"id=[0-9]+", "[0-9]+", "x id=42 y 7", 0, "42"},
               {"z+", nullptr, "abc", -2, "old"},
               {"(", nullptr, "abc", -1, "old"},
               {"a", "(", "abc", -3, "old"},
               {"b", "a", "abc", -4, "old"},
               {"a", nullptr, nullptr, -1, "old"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.pattern);
    char *s = strdup("old");
    EXPECT_EQ(regex_extract(&s, c.pattern, c.sub_pattern, c.text), c.result);
    EXPECT_STREQ(s, c.extracted);
    EXPECT_EQ(regex_extract_str(&s, c.pattern, c.sub_pattern, c.text),
              c.result ? -1 : 0);
    std::free(s);
  }
  uint32_t n = 9;
  EXPECT_EQ(regex_extract_int(&n, "port [0-9]+", "[0-9]+", "port 2525"), 0);
  EXPECT_EQ(regex_extract_int(&n, "q", nullptr, "port"), -2);
  EXPECT_EQ(n, 2525u);
}

TEST(OlderFuncs, RemoteFetchRunsTheProgramAndReadsBodyAndStatus) {
  const std::string pid = std::to_string(getpid());
  // In the transfer program's place: $2 is the data, $4 the body file, $6
  // the header file, $7 the address.
  const char *fake = "sh -c 'printf %s/%s \"$2\" \"$7\" >\"$4\"; "
                     "echo HTTP/1.1 201 Created >\"$6\"' fetch";
  char *text = strdup("stale");
  int code = -1;
  EXPECT_EQ(remote_url_fetch(fake, "a=1 b", "", "http://x", &text, &code), 1);
  EXPECT_STREQ(text, "a=1 b/http://x");
  EXPECT_EQ(code, 201);
  EXPECT_NE(access(("/tmp/ihd." + pid).c_str(), F_OK), 0);
  EXPECT_NE(access(("/tmp/ihh." + pid).c_str(), F_OK), 0);
  EXPECT_EQ(remote_url_fetch("exit 3 ||", "d", "", "u", &text, &code), 0);
  EXPECT_STREQ(text, "Fatal error executing remote url fetch. Exit code: [3]");
  code = 5; // data that would end its quoting: nothing runs or changes
  EXPECT_EQ(remote_url_fetch(fake, "it's", "", "u", &text, &code), 0);
  EXPECT_STREQ(text, "Fatal error executing remote url fetch. Exit code: [3]");
  EXPECT_EQ(code, 5);
  std::free(text);
  EXPECT_EQ(run_command("exit 7"), 7);
  EXPECT_EQ(run_command(nullptr), -1);
}

TEST(OlderFuncs, StderrPrintWritesOneDebugLine) {
  testing::internal::CaptureStderr();
  stderr_print(3, "n=%d %s\n\n", 5, "%d");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "DEBUG[" + std::to_string(getpid()) + "]: n=5 %d\n");
}

TEST(OlderFuncs, StartOfDayIsLocalMidnightAlsoWhenTheClocksChange) {
  const char *saved = std::getenv("TZ");
  const std::string kept = saved ? saved : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  // 2024-03-31 15:00 CEST, the day summer time began: midnight was CET.
  EXPECT_EQ(start_of_day(1711890000), 1711839600);
  EXPECT_EQ(start_of_day(1704884400), 1704841200); // 2024-01-10 12:00 CET
  saved ? setenv("TZ", kept.c_str(), 1) : unsetenv("TZ");
  tzset();
}

} // namespace
