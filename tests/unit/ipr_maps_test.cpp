// IPR map files: the reader (lookupMap, lookupMapFile, lookupMaps), the list
// matcher checkList and the map builder.
#include "engine/rule_registry.h"
#include "lookup/ipr_map_builder.h"
#include "lookup/ipr_maps.h"

#include "syslog_capture.h"
#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

using ut::at;
using strings = std::vector<std::string>;
constexpr uint32_t ALL = 0xFFFFFFFF;
const std::string CORRUPT = at(LOG_ERR, "lookupMap(): corrupt IPR file");

// At an offset of a map: a little-endian word, or `fill` bytes of value.
struct put {
  uint32_t offset, value, fill = 0;
};

std::string map_of(size_t size, const std::vector<put> &puts) {
  std::string bytes(size, '\0');
  for (const put &p : puts)
    for (uint32_t i = 0; i < (p.fill ? p.fill : 4); ++i)
      bytes.at(p.offset + i) =
          static_cast<char>(p.fill ? p.value : p.value >> (8 * i));
  return bytes;
}

// 192.0.2.77 through a level-2 index at 1024 and a bitmap at 2048.
const std::vector<put> EXAMPLE = {{4 * 192, 1024}, {1024, 2048}, {2121, 4, 1}};

class MapFiles : public ut::syslog_test {
protected:
  void SetUp() override {
    CAPTURE_SYSLOG_OR_SKIP();
    config.ipr_cache_dir = cache_.c_str();
  }
  void TearDown() override {
    config = saved_;
    ut::syslog_test::TearDown();
  }
  std::string map(const std::string &name, size_t size,
                  const std::vector<put> &puts) {
    return dir_.write(name, map_of(size, puts));
  }

  ut::temp_dir dir_;
  const std::string cache_ = dir_.path();
  const corvane_config saved_ = config;
};

TEST_F(MapFiles, LookupWalksTheIndexesAndRefusesOffsetsPastTheEnd) {
  // clang-format off
  const struct { const char *name; size_t size; std::vector<put> puts;
                 const char *ip; int expected; bool corrupt = false; } cases[] = {
      {"all-listed /8", 1024, {{40, ALL}}, "10.255.255.255", 1},
      {"next /8", 1024, {{40, ALL}}, "11.0.0.0", 0},
      {"listed bit", 10240, EXAMPLE, "192.0.2.77", 1},
      {"bit before", 10240, EXAMPLE, "192.0.2.76", 0},
      {"bit after", 10240, EXAMPLE, "192.0.2.78", 0},
      {"other c", 10240, EXAMPLE, "192.0.3.77", 0},
      {"other b", 10240, EXAMPLE, "192.1.2.77", 0},
      {"all-listed /16", 2048, {{688, 1024}, {1088, ALL}}, "172.16.9.9", 1},
      {"next /16", 2048, {{688, 1024}, {1088, ALL}}, "172.17.0.0", 0},
      {"level 2 ending at the end", 2048, {{768, 1024}, {2044, ALL}},
       "192.255.0.1", 1},
      {"level 2 one past", 2048, {{768, 1025}}, "192.0.2.1", -1, true},
      {"bitmap ending at the end", 10240,
       {{768, 1024}, {1024, 2048}, {10239, 1, 1}}, "192.0.255.255", 1},
      {"bitmap one past", 10240, {{768, 1024}, {1024, 2049}}, "192.0.2.1", -1,
       true},
      {"short level 1, entry inside", 100, {}, "10.0.0.1", 0},
      {"short level 1, entry outside", 100, {}, "192.0.2.1", -1},
      {"empty file", 0, {}, "0.0.0.0", -1},
      {"short file, any offset", 100, {{40, 4}}, "10.0.0.1", -1, true},
  };
  // clang-format on
  strings log;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(lookupMapFile(map("m", c.size, c.puts).c_str(), c.ip),
              c.expected);
    if (c.corrupt)
      log.push_back(CORRUPT);
  }
  EXPECT_EQ(logged(), log);
}

TEST_F(MapFiles, UnusableArgumentsAreErrors) {
  const std::string path = map("ten", 1024, {{40, ALL}});
  ASSERT_EQ(symlink(path.c_str(), dir_.file("link").c_str()), 0);
  EXPECT_EQ(lookupMapFile(dir_.file("link").c_str(), "10.9.9.9"), 1);
  EXPECT_EQ(lookupMapFile(path.c_str(), "10.1.2.300"), -1);
  for (const std::string &silent : {dir_.file("missing"), dir_.path()})
    EXPECT_EQ(lookupMapFile(silent.c_str(), "10.0.0.1"), -1) << silent;
  EXPECT_EQ(logged(),
            strings{at(4, "lookupMapFile(): 10.1.2.300 is not a valid IP "
                          "address")});
}

// lookupMaps and checkList's modes 0 and 1 have no caller in the program;
// mode 2 (block_lists) is checked end to end.
TEST_F(MapFiles, LookupMapsLogsEveryListAndPrintsTheHits) {
  map("a", 10240, EXAMPLE);
  map("bad", 2048, {{768, 4000}});
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(lookupMaps(cache_.c_str(), "a  missing bad", "192.0.2.77", 1), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "a \n");
  EXPECT_EQ(
      logged(),
      (strings{at(6, "lookupMaps(): IP 192.0.2.77 is on block list a"), CORRUPT,
               at(4, "lookupMaps(): lookupMap() returned: -1")}));
}

TEST_F(MapFiles, EqualModeIsCaseSensitiveRegexModeCaseBlindFirstMatch) {
  char lower[] = "example", upper[] = "EXAMPLE", bad[] = "(";
  string_list second = {lower, nullptr}, first = {upper, &second},
              broken = {bad, &first}, *matches = nullptr;
  EXPECT_EQ(checkList(&first, "Example", CHECK_LIST_EQUAL, nullptr), 0);
  EXPECT_EQ(checkList(&first, "example", CHECK_LIST_EQUAL, nullptr), 1);
  EXPECT_EQ(checkList(&broken, "a.example", CHECK_LIST_REGEX, &matches), 1);
  ASSERT_NE(matches, nullptr);
  EXPECT_EQ(matches->value, upper);
  EXPECT_EQ(matches->next, nullptr);
  string_list_clear(&matches);
  EXPECT_EQ(logged().at(0).rfind("6 Warning: regcomp(): ", 0), 0u);
}

class MapBuilder : public ::testing::Test {
protected:
  // The map built from `text`, or "" with the reason in error_.
  std::string build(const std::string &text) {
    std::string input = dir_.write("list.txt", text);
    char errbuf[256] = "unchanged";
    int rc = ipr_build_map(input.c_str(), out().c_str(), errbuf, sizeof errbuf);
    error_ = errbuf;
    EXPECT_EQ(rc == 0, error_.empty()) << error_;
    return rc == 0 ? ut::read_file(out()) : "";
  }
  std::string out() const { return dir_.file("map"); }

  ut::temp_dir dir_;
  std::string error_;
};

TEST_F(MapBuilder, WritesEachStructureOnceInAddressOrder) {
  const uint32_t BITMAP = 8192;
  // clang-format off
  const struct { const char *name; std::string text; size_t size;
                 std::vector<put> puts; } cases[] = {
      {"nothing listed", "# none\n\n \t# still none\r\n", 1024, {}},
      {"whole /8s", "10.0.0.0/8\n2.0.0.0/7  # two\n", 1024,
       {{8, ALL}, {12, ALL}, {40, ALL}}},
      {"two whole /16s", "10.0.0.0/15\n", 2048,
       {{40, 1024}, {1024, ALL}, {1028, ALL}}},
      {"one address", "192.0.2.77\n", 10240, EXAMPLE},
      {"partial bytes", "192.0.0.8/29\n192.0.0.4/30\n", 10240,
       {{768, 1024}, {1024, 2048}, {2048, 0x0F, 1}, {2049, 0xFF, 1}}},
      {"halves", "172.16.0.0/17\n172.16.128.0/17\n", 2048,
       {{688, 1024}, {1088, ALL}}},
      {"wider swallows", "10.1.2.3\n10.1.0.0/16\n10.0.0.0/8\n10.2.3.0/24\n",
       1024, {{40, ALL}}},
      {"address order", "20.1.0.0/24\n10.5.0.0/24\n10.3.0.0/24\n20.2.0.0/16\n",
       3072 + 3 * BITMAP,
       {{40, 1024}, {1036, 2048}, {1044, 2048 + BITMAP}, {2048, 0xFF, 32},
        {2048 + BITMAP, 0xFF, 32}, {80, 2048 + 2 * BITMAP},
        {2052 + 2 * BITMAP, 3072 + 2 * BITMAP}, {2056 + 2 * BITMAP, ALL},
        {3072 + 2 * BITMAP, 0xFF, 32}}},
  };
  // clang-format on
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(build(c.text), map_of(c.size, c.puts));
  }
  EXPECT_EQ(build("0.0.0.0/0\n"), std::string(1024, '\xff'));
}

TEST_F(MapBuilder, BadLineFailsTheBuildWithItsNumber) {
  const std::string x60(60, 'x');
  // clang-format off
  const struct { std::string text, error; } cases[] = { // N: not an address
      {"10.0.0.1\n# ok\n10.0.0.256\n", "line 3: N: \"10.0.0.256\""},
      {"10.0.0.0/33\n", "line 1: prefix length must be 0 to 32: \"10.0.0.0/33\""},
      {"\n10.1.0.0/8\n", "line 2: address has bits set beyond the prefix "
                         "length: \"10.1.0.0/8\""},
      {"1.2.3.4/\n", "line 1: N: \"1.2.3.4/\""},
      {"1.2.3.4/-1\n", "line 1: N: \"1.2.3.4/-1\""},
      {"1.2.3.4/100\n", "line 1: N: \"1.2.3.4/100\""},
      {"1.2.3.4\x01\x7f\n", "line 1: N: \"1.2.3.4??\""},
      {x60 + "\n", "line 1: N: \"" + x60 + "\""},
      {x60 + "y\n", "line 1: N: \"" + x60 + "...\""},
  };
  // clang-format on
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    std::string error = c.error;
    if (size_t n = error.find(": N:"); n != std::string::npos)
      error.replace(n + 2, 1, "not an IPv4 address or CIDR block");
    EXPECT_EQ(build(c.text), "");
    EXPECT_EQ(error_, error);
  }
}

// A bad line keeping the old map is checked end to end.
TEST_F(MapBuilder, NewMapIsRenamedIntoPlaceReadableByAll) {
  const mode_t old_mask = umask(022);
  ASSERT_EQ(build("10.0.0.0/8\n").size(), 1024u);
  umask(old_mask);
  struct stat status;
  ASSERT_EQ(stat(out().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);
  const int old_fd = open(out().c_str(), O_RDONLY);
  dir_.write("map.tmp", std::string(2000, 's')); // stale, longer
  ASSERT_EQ(build("11.0.0.0/8\n"), map_of(1024, {{44, ALL}}));
  EXPECT_EQ(lookupMap(old_fd, htonl(0x0A000001)), 1) << "the old map whole";
  close(old_fd);
  EXPECT_FALSE(std::filesystem::exists(out() + ".tmp"));
}

TEST_F(MapBuilder, UnusablePathsAreReported) {
  char errbuf[256];
  const auto reason = [&](const char *in, const char *out, size_t size) {
    EXPECT_EQ(ipr_build_map(in, out, errbuf, size), -1);
    return std::string(errbuf);
  };
  const std::string absent = dir_.file("absent"), no_dir = dir_.file("no/map");
  const std::string input = dir_.write("list.txt", "10.0.0.0/8\n");
  EXPECT_EQ(reason(absent.c_str(), out().c_str(), 256),
            "cannot open " + absent + ": No such file or directory");
  EXPECT_EQ(reason(input.c_str(), no_dir.c_str(), 256),
            "cannot create " + no_dir + ".tmp: No such file or directory");
  EXPECT_EQ(reason(input.c_str(), "", 8), "missing"); // " input or output path"
}

} // namespace
