// The library's reporters: what reaches the sink, at which priority, in
// which format, and when nothing is formatted at all.
#include "util/ut_log.h"

#include "ut_reports.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

namespace {

// A sink that keeps the format it was handed and what it formats to.
std::vector<std::string> formats;
__attribute__((format(printf, 2, 3))) void
format_sink(int priority, const char *format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  formats.push_back(std::to_string(priority) + " [" + format + "] " + text);
}

int evaluated = 0;
int count_evaluation() { return ++evaluated; }

TEST(UtLog, EachReporterHandsItsPriorityFormatAndMessageToTheSink) {
  unsetenv("VERBOSEDEBUG");
  formats.clear();
  ut_set_logger(format_sink);
  ut_log_error("f", "m.cpp", 12, "%s", "Invalid argument");
  ut_log_debug("g", "m.cpp", 13, "dropped without VERBOSEDEBUG");
  setenv("VERBOSEDEBUG", "", 1);
  ut_log_debug("g", "m.cpp", 14, "n=%d", 5);
  ut_log_info("100%% %s", "%d kept");
  ut_log_error(nullptr, "m.cpp", 15, "no function name");
  ut_log_info(nullptr);
  ut_log_info("%s", std::string(300, 'x').c_str());
  ut_set_logger(nullptr);
  ut_log_error("f", "m.cpp", 16, "no sink");
  EXPECT_EQ(formats,
            (std::vector<std::string>{
                "3 [%s:%d ERROR %s(): %s] m.cpp:12 ERROR f(): "
                "Invalid argument",
                "7 [%s:%d DEBUG %s(): %s] m.cpp:14 DEBUG g(): n=5",
                "6 [%s] 100% %d kept", "6 [%s] " + std::string(254, 'x')}));
}

TEST(UtLog, WithoutASinkTheLibraryEvaluatesNoReportArgument) {
  evaluated = 0;
  UT_ERROR("%d", count_evaluation());
  EXPECT_EQ(evaluated, 0);
  ut::library_reports reports;
  UT_ERROR("%d", count_evaluation());
  EXPECT_EQ(reports.lines(), (std::vector<std::string>{
                                 "3 ut_log_test.cpp:# ERROR TestBody(): 1"}));
}

} // namespace
