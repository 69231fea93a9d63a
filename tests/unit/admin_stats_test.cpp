#include "admin/admin_stats.h"
#include "engine/counters.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

std::vector<std::string> printed;
void collect(const char *line) { printed.emplace_back(line); }

class CounterReport : public ::testing::Test {
protected:
  void SetUp() override {
    printed.clear();
    saved_tz_ = std::getenv("TZ") ? std::getenv("TZ") : "";
    had_tz_ = std::getenv("TZ") != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (had_tz_)
      setenv("TZ", saved_tz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

  void set_day(int mday, uint32_t day_start, uint32_t ham, uint32_t spam,
               uint32_t exempt) {
    const uint32_t record[4] = {day_start, ham, spam, exempt};
    std::memcpy(file + counter_record_offset(mday), record, sizeof record);
  }

  unsigned char file[COUNTER_FILE_SIZE] = {};

private:
  std::string saved_tz_;
  bool had_tz_ = false;
};

// Local midnight of a day of March 2025 (UTC in these tests).
uint32_t march(int mday) { return 1740787200u + 86400u * (mday - 1); }

TEST_F(CounterReport, UsedDaysWithTotalsAndSpamBars) {
  set_day(5, march(5), 2, 1, 1);
  set_day(6, march(6), 0, 0, 0);
  set_day(31, march(31), 0, 7, 0);
  EXPECT_EQ(print_counter_report(file, collect), 3);
  const std::vector<std::string> expected = {
      "Day              Ham      Spam    Exempt       All  Spam share",
      "2025-03-05         2         1         1         4  #####               "
      "  "
      "25%",
      "2025-03-06         0         0         0         0" +
          std::string(26, ' ') + "-",
      "2025-03-31         0         7         0         7  ####################"
      " 100%",
      "Total              2         8         1        11  ###############     "
      "  "
      "73%",
  };
  EXPECT_EQ(printed, expected);
}

TEST_F(CounterReport, UnusedDaysAreSkippedAndAnEmptyFilePrintsNothing) {
  EXPECT_EQ(print_counter_report(file, collect), 0);
  EXPECT_TRUE(printed.empty());
  // Counts without a day_start belong to no day.
  set_day(2, 0, 5, 5, 5);
  EXPECT_EQ(print_counter_report(file, collect), 0);
  EXPECT_TRUE(printed.empty());
}

TEST_F(CounterReport, TheYearComesFromTheRecord) {
  // A record left from March 2024 in the file of March.
  set_day(1, 1709251200u, 1, 0, 0);
  ASSERT_EQ(print_counter_report(file, collect), 1);
  EXPECT_EQ(printed[1].substr(0, 10), "2024-03-01");
}

} // namespace
