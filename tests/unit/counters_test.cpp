#include "engine/counters.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

time_t utc(int year, int month, int day, int hour = 0, int minute = 0,
           int second = 0) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return timegm(&t);
}

struct day {
  uint32_t start = 0, ham = 0, spam = 0, exempt = 0;
  bool operator==(const day &) const = default;
};

void PrintTo(const day &d, std::ostream *os) {
  *os << "{start " << d.start << ", ham " << d.ham << ", spam " << d.spam
      << ", exempt " << d.exempt << "}";
}

using bytes = std::vector<unsigned char>;

day day_at(const bytes &file, int mday) {
  day d;
  std::memcpy(&d, file.data() + 4 + 16 * (mday - 1), sizeof d);
  return d;
}

void put_day(bytes &file, int mday, const day &d) {
  std::memcpy(file.data() + 4 + 16 * (mday - 1), &d, sizeof d);
}

// A well-formed counter file with the given records.
bytes counter_file(const std::vector<std::pair<int, day>> &days) {
  bytes file(COUNTER_FILE_SIZE, 0);
  for (const auto &[mday, d] : days)
    put_day(file, mday, d);
  return file;
}

uint32_t u32(time_t t) { return static_cast<uint32_t>(t); }

// A readable picture of a counter file for comparisons: its size, then the
// header and every day record that is not all zero.
std::string layout(const bytes &file) {
  std::string out = "size " + std::to_string(file.size());
  if (file.size() != COUNTER_FILE_SIZE)
    return out;
  uint32_t header;
  std::memcpy(&header, file.data(), sizeof header);
  out += ", header " + std::to_string(header);
  for (int mday = 1; mday <= 31; ++mday) {
    const day d = day_at(file, mday);
    if (d != day{})
      out += "; day " + std::to_string(mday) + " {start " +
             std::to_string(d.start) + ", " + std::to_string(d.ham) + "/" +
             std::to_string(d.spam) + "/" + std::to_string(d.exempt) + "}";
  }
  return out;
}

// Pins the local time zone for the test and restores it afterwards.
class LocalZone : public ::testing::Test {
protected:
  void SetUp() override {
    if (const char *tz = std::getenv("TZ"))
      saved_ = tz;
    use_zone("UTC");
  }
  void TearDown() override {
    if (saved_)
      setenv("TZ", saved_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  static void use_zone(const char *zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

  std::string path() const { return dir.file("counter.dat"); }
  void store(const bytes &file) const {
    dir.write("counter.dat", std::string(file.begin(), file.end()));
  }
  bytes stored() const {
    const std::string text = ut::read_file(path());
    return bytes(text.begin(), text.end());
  }

  ut::temp_dir dir;

private:
  std::optional<std::string> saved_;
};

using CounterFile = LocalZone;

const time_t MAR5 = utc(2024, 3, 5);
const time_t MAR5_MORNING = utc(2024, 3, 5, 7, 8, 9);

TEST_F(CounterFile, FreshFileHoldsOnlyTodaysRecord) {
  update_counter_file(path().c_str(), COUNT_SPAM, MAR5_MORNING);
  EXPECT_EQ(layout(stored()),
            layout(counter_file({{5, {u32(MAR5), 0, 1, 0}}})));
}

TEST_F(CounterFile, EachKindCountsInItsOwnWord) {
  update_counter_file(path().c_str(), COUNT_HAM, MAR5_MORNING);
  update_counter_file(path().c_str(), COUNT_EXEMPT, MAR5_MORNING);
  update_counter_file(path().c_str(), COUNT_EXEMPT, MAR5_MORNING);
  EXPECT_EQ(layout(stored()),
            layout(counter_file({{5, {u32(MAR5), 1, 0, 2}}})));
}

TEST_F(CounterFile, TwoCountsOnOneDayShareTheRecord) {
  update_counter_file(path().c_str(), COUNT_HAM, utc(2024, 3, 5, 0, 0, 0));
  update_counter_file(path().c_str(), COUNT_HAM, utc(2024, 3, 5, 23, 59, 59));
  EXPECT_EQ(layout(stored()),
            layout(counter_file({{5, {u32(MAR5), 2, 0, 0}}})));
}

TEST_F(CounterFile, NextDayStartsTheNextRecord) {
  update_counter_file(path().c_str(), COUNT_HAM, MAR5_MORNING);
  update_counter_file(path().c_str(), COUNT_SPAM, utc(2024, 3, 6, 0, 0, 1));
  EXPECT_EQ(layout(stored()),
            layout(counter_file({{5, {u32(MAR5), 1, 0, 0}},
                                 {6, {u32(utc(2024, 3, 6)), 0, 1, 0}}})));
}

TEST_F(CounterFile, ThirtyFirstUsesTheLastRecord) {
  static_assert(counter_record_offset(1) == 4);
  static_assert(counter_record_offset(31) == 484);
  update_counter_file(path().c_str(), COUNT_EXEMPT,
                      utc(2024, 3, 31, 23, 59, 59));
  const bytes file = stored();
  ASSERT_EQ(file.size(), 500u);
  day last;
  std::memcpy(&last, file.data() + 484, sizeof last);
  EXPECT_EQ(last, (day{u32(utc(2024, 3, 31)), 0, 0, 1}));
  EXPECT_EQ(layout(file), layout(counter_file({{31, last}})));
}

TEST_F(CounterFile, WrongSizeIsStartedAfresh) {
  for (size_t size : {size_t{10}, size_t{499}, size_t{501}}) {
    bytes old = counter_file(
        {{2, {u32(utc(2024, 3, 2)), 4, 4, 4}}, {5, {u32(MAR5), 9, 9, 9}}});
    old.resize(size, 0);
    store(old);
    update_counter_file(path().c_str(), COUNT_HAM, MAR5_MORNING);
    EXPECT_EQ(layout(stored()),
              layout(counter_file({{5, {u32(MAR5), 1, 0, 0}}})))
        << "old size " << size;
  }
}

TEST_F(CounterFile, NonZeroHeaderIsStartedAfresh) {
  bytes old = counter_file(
      {{2, {u32(utc(2024, 3, 2)), 4, 4, 4}}, {5, {u32(MAR5), 9, 9, 9}}});
  old[3] = 1;
  store(old);
  update_counter_file(path().c_str(), COUNT_HAM, MAR5_MORNING);
  EXPECT_EQ(layout(stored()),
            layout(counter_file({{5, {u32(MAR5), 1, 0, 0}}})));
}

TEST_F(CounterFile, RecordMoreThan31DaysOldWipesEveryDay) {
  store(counter_file({{2, {u32(utc(2024, 3, 2)), 4, 4, 4}},
                      {5, {u32(MAR5 - COUNTER_MAX_AGE - 1), 9, 9, 9}}}));
  update_counter_file(path().c_str(), COUNT_HAM, MAR5_MORNING);
  EXPECT_EQ(layout(stored()),
            layout(counter_file({{5, {u32(MAR5), 1, 0, 0}}})));
}

TEST_F(CounterFile, RecordExactly31DaysOldIsKept) {
  const day other{u32(utc(2024, 3, 2)), 4, 4, 4};
  store(
      counter_file({{2, other}, {5, {u32(MAR5 - COUNTER_MAX_AGE), 9, 9, 9}}}));
  update_counter_file(path().c_str(), COUNT_HAM, MAR5_MORNING);
  const bytes file = stored();
  ASSERT_EQ(file.size(), 500u);
  EXPECT_EQ(day_at(file, 2), other);
  EXPECT_EQ(day_at(file, 5).ham, 10u);
}

TEST_F(CounterFile, ClockSetBackNeverWipes) {
  const day other{u32(utc(2024, 4, 2)), 4, 4, 4};
  const day today{u32(utc(2024, 6, 5)), 9, 9, 9}; // written "in the future"
  store(counter_file({{2, other}, {5, today}}));
  update_counter_file(path().c_str(), COUNT_SPAM, MAR5_MORNING);
  const bytes file = stored();
  ASSERT_EQ(file.size(), 500u);
  EXPECT_EQ(day_at(file, 2), other);
  EXPECT_EQ(day_at(file, 5).spam, 10u);
}

TEST_F(CounterFile, UnknownKindChangesNothing) {
  const bytes old = counter_file({{5, {u32(MAR5), 1, 2, 3}}});
  store(old);
  for (int kind : {3, -1}) {
    update_counter_file(path().c_str(), kind, MAR5_MORNING);
    EXPECT_EQ(layout(stored()), layout(old)) << "kind " << kind;
    const std::string absent = dir.file("absent.dat");
    update_counter_file(absent.c_str(), kind, MAR5_MORNING);
    EXPECT_FALSE(std::filesystem::exists(absent)) << "kind " << kind;
  }
}

TEST_F(CounterFile, DayStartTakesMidnightAsStandardTimeInSummer) {
  // Central European time: UTC+1, UTC+2 from the last Sunday of March to the
  // last Sunday of October. The day's start is computed with the
  // daylight-saving flag 0, so in summer midnight is read as standard time:
  // 15 July 2024 00:00 at UTC+1 is 23:00 UTC on the 14th (01:00 local).
  use_zone("CET-1CEST,M3.5.0,M10.5.0/3");
  update_counter_file(path().c_str(), COUNT_HAM, utc(2024, 7, 15, 10));
  EXPECT_EQ(layout(stored()),
            layout(counter_file({{15, {u32(utc(2024, 7, 14, 23)), 1, 0, 0}}})));
}

TEST_F(CounterFile, DayStartIsLocalMidnightInWinterTime) {
  use_zone("CET-1CEST,M3.5.0,M10.5.0/3");
  update_counter_file(path().c_str(), COUNT_HAM, utc(2024, 1, 15, 10));
  EXPECT_EQ(layout(stored()),
            layout(counter_file({{15, {u32(utc(2024, 1, 14, 23)), 1, 0, 0}}})));
}

TEST_F(CounterFile, ConcurrentWritersLoseNoCount) {
  constexpr int writers = 8;
  constexpr int calls = 200;
  std::vector<pid_t> children;
  for (int w = 0; w < writers; ++w) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0; i < calls; ++i)
        update_counter_file(path().c_str(), (w + i) % 3, MAR5_MORNING);
      _exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  // Writer w uses kinds w, w+1, ... mod 3: 67/67/66 of each rotated.
  uint32_t expected[3] = {};
  for (int w = 0; w < writers; ++w)
    for (int i = 0; i < calls; ++i)
      ++expected[(w + i) % 3];
  ASSERT_EQ(expected[0] + expected[1] + expected[2], 1600u);
  EXPECT_EQ(layout(stored()),
            layout(counter_file(
                {{5, {u32(MAR5), expected[0], expected[1], expected[2]}}})));
}

using Translog = LocalZone;

TEST_F(Translog, WritesOneStampedLine) {
  const std::string log = dir.file("ihlog");
  write_translog_at(log.c_str(), "HAM: mua=0", MAR5_MORNING, 4242);
  EXPECT_EQ(ut::read_file(log),
            "2024-03-05 07:08:09 corvane-spp[4242]: HAM: mua=0\n");
}

TEST_F(Translog, StampIsLocalTime) {
  use_zone("EST5");
  const std::string log = dir.file("ihlog");
  write_translog_at(log.c_str(), "x", utc(2024, 3, 5, 3, 4, 5), 7);
  EXPECT_EQ(ut::read_file(log), "2024-03-04 22:04:05 corvane-spp[7]: x\n");
}

TEST_F(Translog, AppendsToTheFile) {
  const std::string log = dir.write("ihlog", "earlier\n");
  write_translog_at(log.c_str(), "one", MAR5_MORNING, 4242);
  write_translog_at(log.c_str(), "two", utc(2024, 12, 31, 23, 59, 59), 1);
  EXPECT_EQ(ut::read_file(log), "earlier\n"
                                "2024-03-05 07:08:09 corvane-spp[4242]: one\n"
                                "2024-12-31 23:59:59 corvane-spp[1]: two\n");
}

TEST_F(Translog, ControlCharactersBecomeQuestionMarks) {
  const std::string log = dir.file("ihlog");
  write_translog_at(log.c_str(),
                    "a\tb\r\nc\x7f\x01"
                    "d",
                    MAR5_MORNING, 4242);
  EXPECT_EQ(ut::read_file(log),
            "2024-03-05 07:08:09 corvane-spp[4242]: a?b??c??d\n");
}

TEST_F(Translog, UnopenablePathIsSilent) {
  const std::string sub = dir.file("sub");
  std::filesystem::create_directory(sub);
  write_translog_at(sub.c_str(), "lost", MAR5_MORNING, 4242);
  EXPECT_TRUE(std::filesystem::is_directory(sub));
  EXPECT_TRUE(std::filesystem::is_empty(sub));
}

} // namespace
