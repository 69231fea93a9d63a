// IPR map files: the reader (lookupMap, lookupMapFile, lookupMaps), the list
// matcher checkList, and the map builder, including a randomised round trip
// of the builder through the reader.
#include "engine/rule_registry.h"
#include "engine/string_list.h"
#include "lookup/ipr_map_builder.h"
#include "lookup/ipr_maps.h"

#include "syslog_capture.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t ALL = 0xFFFFFFFF;

// A map file under construction, byte by byte.
class map_bytes {
public:
  explicit map_bytes(size_t size = 1024) : bytes_(size, '\0') {}
  map_bytes &put32(size_t offset, uint32_t value) {
    if (bytes_.size() < offset + 4)
      bytes_.resize(offset + 4, '\0');
    for (int i = 0; i < 4; ++i)
      bytes_[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return *this;
  }
  map_bytes &put8(size_t offset, uint8_t value) {
    if (bytes_.size() < offset + 1)
      bytes_.resize(offset + 1, '\0');
    bytes_[offset] = static_cast<char>(value);
    return *this;
  }
  map_bytes &resize(size_t size) {
    bytes_.resize(size, '\0');
    return *this;
  }
  const std::string &str() const { return bytes_; }

private:
  std::string bytes_;
};

uint32_t get32(const std::string &bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes.at(offset + i));
  return value;
}

uint32_t network_order(const char *ip) {
  struct in_addr address;
  EXPECT_EQ(inet_aton(ip, &address), 1) << ip;
  return address.s_addr;
}

std::string ip_text(uint32_t host_order) {
  struct in_addr address;
  address.s_addr = htonl(host_order);
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

// The worked example: 192.0.2.77 listed through a level-2 index at 1024
// and a bitmap at 2048 (byte 73, mask 0x04).
map_bytes example_map() {
  map_bytes map(1024 + 1024 + 8192);
  map.put32(4 * 192, 1024).put32(1024 + 4 * 0, 2048).put8(2048 + 73, 0x04);
  return map;
}

using ut::at;

// What lookupMap logs about a corrupt file.
const std::string CORRUPT = at(LOG_ERR, "lookupMap(): corrupt IPR file");

class MapFiles : public ut::syslog_test {
protected:
  std::string write_map(const std::string &name, const map_bytes &map) {
    return dir_.write(name, map.str());
  }

  int lookup(const std::string &path, const char *ip) {
    return lookupMapFile(path.c_str(), ip);
  }

  ut::temp_dir dir_;
};

// ---- lookupMap / lookupMapFile ---------------------------------------------

TEST_F(MapFiles, ZeroIndexListsNothing) {
  std::string path = write_map("zero", map_bytes(1024));
  for (const char *ip :
       {"0.0.0.0", "10.1.2.3", "192.0.2.77", "255.255.255.255"})
    EXPECT_EQ(lookup(path, ip), 0) << ip;
}

TEST_F(MapFiles, AllListedLevel1EntryListsTheWholeSlash8) {
  std::string path = write_map("ten", map_bytes(1024).put32(4 * 10, ALL));
  for (const char *ip : {"10.0.0.0", "10.1.2.3", "10.255.255.255"})
    EXPECT_EQ(lookup(path, ip), 1) << ip;
  EXPECT_EQ(lookup(path, "9.255.255.255"), 0);
  EXPECT_EQ(lookup(path, "11.0.0.0"), 0);
}

TEST_F(MapFiles, WorkedExampleFindsTheBitMostSignificantFirst) {
  std::string path = write_map("example", example_map());
  EXPECT_EQ(lookup(path, "192.0.2.77"), 1);
  for (const char *ip : {"192.0.2.76", "192.0.2.78", "192.0.2.72", "192.0.2.79",
                         "192.0.3.77", "192.1.2.77"})
    EXPECT_EQ(lookup(path, ip), 0) << ip;
}

TEST_F(MapFiles, AllListedLevel2EntryListsTheWholeSlash16) {
  map_bytes map(2048);
  map.put32(4 * 172, 1024).put32(1024 + 4 * 16, ALL);
  std::string path = write_map("l2", map);
  EXPECT_EQ(lookup(path, "172.16.0.0"), 1);
  EXPECT_EQ(lookup(path, "172.16.255.255"), 1);
  EXPECT_EQ(lookup(path, "172.17.0.0"), 0);
  EXPECT_EQ(lookup(path, "172.15.255.255"), 0);
}

TEST_F(MapFiles, StructuresMayBeSharedAndInAnyOrder) {
  // Level-2 index after the bitmap; two /8s share it.
  map_bytes map(1024 + 8192 + 1024);
  const uint32_t bitmap = 1024, level2 = 1024 + 8192;
  map.put32(4 * 1, level2).put32(4 * 2, level2);
  map.put32(level2 + 4 * 5, bitmap).put8(bitmap + 0, 0x80);
  std::string path = write_map("shared", map);
  EXPECT_EQ(lookup(path, "1.5.0.0"), 1);
  EXPECT_EQ(lookup(path, "2.5.0.0"), 1);
  EXPECT_EQ(lookup(path, "2.5.0.1"), 0);
  EXPECT_EQ(lookup(path, "3.5.0.0"), 0);
}

TEST_F(MapFiles, OffsetsAreLittleEndian) {
  // 0x00000400 little-endian is 00 04 00 00; read big-endian it would be
  // 0x00040000, far beyond the end of the file.
  map_bytes map(2048);
  map.put32(4 * 7, 0x400).put32(1024 + 4 * 7, ALL);
  std::string path = write_map("endian", map);
  EXPECT_EQ(lookup(path, "7.7.7.7"), 1);
}

TEST_F(MapFiles, Level2OffsetPastTheEndIsCorrupt) {
  CAPTURE_SYSLOG_OR_SKIP();
  std::string path = write_map("bad1", map_bytes(2048).put32(4 * 192, 1025));
  EXPECT_EQ(lookup(path, "192.0.2.1"), -1);
  EXPECT_EQ(logged(), std::vector<std::string>{CORRUPT});
}

TEST_F(MapFiles, Level2IndexEndingAtTheEndIsSound) {
  map_bytes map(2048);
  map.put32(4 * 192, 1024).put32(1024 + 4 * 255, ALL);
  std::string path = write_map("edge1", map);
  EXPECT_EQ(lookup(path, "192.255.0.1"), 1);
  EXPECT_EQ(lookup(path, "192.0.0.1"), 0);
}

TEST_F(MapFiles, BitmapOffsetPastTheEndIsCorrupt) {
  CAPTURE_SYSLOG_OR_SKIP();
  map_bytes map(2048 + 8192);
  map.put32(4 * 192, 1024).put32(1024, 2049);
  std::string path = write_map("bad2", map);
  EXPECT_EQ(lookup(path, "192.0.2.77"), -1);
  EXPECT_EQ(logged(), std::vector<std::string>{CORRUPT});
}

TEST_F(MapFiles, BitmapEndingAtTheEndIsSound) {
  map_bytes map(2048 + 8192);
  map.put32(4 * 192, 1024).put32(1024, 2048).put8(2048 + 8191, 0x01);
  std::string path = write_map("edge2", map);
  EXPECT_EQ(lookup(path, "192.0.255.255"), 1);
  EXPECT_EQ(lookup(path, "192.0.255.254"), 0);
}

TEST_F(MapFiles, ShortFileIsAnErrorWithoutCorruptionMessage) {
  CAPTURE_SYSLOG_OR_SKIP();
  std::string path = write_map("short", map_bytes(100));
  EXPECT_EQ(lookup(path, "192.0.2.1"), -1); // entry at byte 768
  EXPECT_EQ(lookup(path, "10.0.0.1"), 0);   // entry at byte 40, inside
  std::string empty = write_map("empty", map_bytes(0));
  EXPECT_EQ(lookup(empty, "0.0.0.0"), -1);
  EXPECT_EQ(logged(), std::vector<std::string>{});
}

TEST_F(MapFiles, ShortFileWithAnyLevel1OffsetIsCorrupt) {
  CAPTURE_SYSLOG_OR_SKIP();
  std::string path = write_map("tiny", map_bytes(100).put32(4 * 10, 4));
  EXPECT_EQ(lookup(path, "10.0.0.1"), -1);
  EXPECT_EQ(logged(), std::vector<std::string>{CORRUPT});
}

TEST_F(MapFiles, InvalidHandleIsReported) {
  CAPTURE_SYSLOG_OR_SKIP();
  EXPECT_EQ(lookupMap(-1, network_order("192.0.2.1")), -1);
  EXPECT_EQ(logged(), std::vector<std::string>{
                          at(LOG_WARNING, "lookupMap(): invalid file handle")});
}

TEST_F(MapFiles, LookupMapReadsAnOpenDescriptor) {
  std::string path = write_map("example", example_map());
  int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(lookupMap(fd, network_order("192.0.2.77")), 1);
  EXPECT_EQ(lookupMap(fd, network_order("192.0.2.78")), 0);
  close(fd);
}

TEST_F(MapFiles, InvalidIpTextIsReported) {
  CAPTURE_SYSLOG_OR_SKIP();
  std::string path = write_map("zero", map_bytes(1024));
  EXPECT_EQ(lookup(path, "10.1.2.300"), -1);
  EXPECT_EQ(logged(),
            std::vector<std::string>{
                at(LOG_WARNING,
                   "lookupMapFile(): 10.1.2.300 is not a valid IP address")});
}

TEST_F(MapFiles, MissingArgumentsOrFilesAreSilentErrors) {
  CAPTURE_SYSLOG_OR_SKIP();
  std::string path = write_map("zero", map_bytes(1024));
  EXPECT_EQ(lookupMapFile(nullptr, "10.0.0.1"), -1);
  EXPECT_EQ(lookupMapFile(path.c_str(), nullptr), -1);
  EXPECT_EQ(lookup(dir_.file("missing"), "10.0.0.1"), -1);
  EXPECT_EQ(lookup(dir_.path(), "10.0.0.1"), -1);
  EXPECT_EQ(logged(), std::vector<std::string>{});
}

TEST_F(MapFiles, SymbolicLinksAreFollowed) {
  std::string path = write_map("ten", map_bytes(1024).put32(4 * 10, ALL));
  ASSERT_EQ(symlink(path.c_str(), dir_.file("link").c_str()), 0);
  EXPECT_EQ(lookup(dir_.file("link"), "10.9.9.9"), 1);
}

// ---- lookupMaps -------------------------------------------------------------

TEST_F(MapFiles, LookupMapsLogsEveryListAndPrintsTheHits) {
  CAPTURE_SYSLOG_OR_SKIP();
  write_map("a", example_map());
  write_map("b", map_bytes(1024));
  write_map("c", map_bytes(1024).put32(4 * 192, ALL));
  write_map("bad", map_bytes(2048).put32(4 * 192, 4000));
  ::testing::internal::CaptureStdout();
  int rc =
      lookupMaps(dir_.path().c_str(), "a b  missing bad c", "192.0.2.77", 1);
  std::fflush(stdout);
  std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(printed, "a c \n");
  EXPECT_EQ(
      logged(),
      (std::vector<std::string>{
          at(LOG_INFO, "lookupMaps(): IP 192.0.2.77 is on block list a"),
          at(LOG_INFO, "lookupMaps(): IP 192.0.2.77 is NOT on block list b"),
          CORRUPT,
          at(LOG_WARNING, "lookupMaps(): lookupMap() returned: -1"),
          at(LOG_INFO, "lookupMaps(): IP 192.0.2.77 is on block list c"),
      }));
}

TEST_F(MapFiles, LookupMapsWithoutHitsGivesZero) {
  write_map("b", map_bytes(1024));
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(lookupMaps(dir_.path().c_str(), "b", "192.0.2.77", 0), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(MapFiles, LookupMapsRefusesAnInvalidIp) {
  CAPTURE_SYSLOG_OR_SKIP();
  // inet_aton takes "192.0.2" for 192.0.0.2: valid, and on no list here.
  EXPECT_EQ(lookupMaps(dir_.path().c_str(), "a", "192.0.2", 0), 0);
  EXPECT_EQ(lookupMaps(dir_.path().c_str(), "a", "192.0.2.256", 0), -1);
  EXPECT_EQ(
      logged(),
      std::vector<std::string>{at(
          LOG_WARNING, "lookupMaps(): 192.0.2.256 is not a valid IP address")});
}

// ---- checkList
// ----------------------------------------------------------------

class CheckList : public MapFiles {
protected:
  void SetUp() override {
    saved_ = config;
    cache_ = dir_.path();
    config.ipr_cache_dir = cache_.c_str();
  }
  void TearDown() override {
    string_list_clear(&matches_);
    string_list_clear(&list_);
    config = saved_;
    MapFiles::TearDown();
  }

  void entries(std::vector<const char *> values) {
    for (const char *v : values)
      ASSERT_EQ(string_list_append(&list_, const_cast<char *>(v)), 0);
  }

  std::vector<std::string> matched() const {
    std::vector<std::string> out;
    for (const string_list *n = matches_; n; n = n->next)
      out.emplace_back(n->value);
    return out;
  }

  string_list *list_ = nullptr;
  string_list *matches_ = nullptr;
  std::string cache_;
  corvane_config saved_{};
};

TEST_F(CheckList, MissingListMatchesNothing) {
  EXPECT_EQ(checkList(nullptr, "x", CHECK_LIST_EQUAL, &matches_), 0);
}

TEST_F(CheckList, EqualityIsCaseSensitiveAndRecordsNothing) {
  entries({"alpha", "Beta"});
  EXPECT_EQ(checkList(list_, "Beta", CHECK_LIST_EQUAL, &matches_), 1);
  EXPECT_EQ(checkList(list_, "beta", CHECK_LIST_EQUAL, &matches_), 0);
  EXPECT_EQ(matches_, nullptr);
}

TEST_F(CheckList, RegexIsCaseBlindAndTheFirstMatchEndsTheWalk) {
  entries({"^mail[0-9]+\\.", "EXAMPLE", "example"});
  EXPECT_EQ(checkList(list_, "host.example.net", CHECK_LIST_REGEX, &matches_),
            1);
  EXPECT_EQ(matched(), std::vector<std::string>{"EXAMPLE"});
  EXPECT_EQ(matches_->value, list_->next->value); // the entry itself
}

TEST_F(CheckList, RegexMatchesWithoutAMatchList) {
  entries({"x"});
  EXPECT_EQ(checkList(list_, "xyz", CHECK_LIST_REGEX, nullptr), 1);
}

TEST_F(CheckList, BadRegexIsReportedAndSkipped) {
  CAPTURE_SYSLOG_OR_SKIP();
  entries({"(unclosed", "clos"});
  EXPECT_EQ(checkList(list_, "unclosed", CHECK_LIST_REGEX, &matches_), 1);
  std::vector<std::string> lines = logged();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind(at(LOG_INFO, "Warning: regcomp(): "), 0), 0u)
      << lines[0];
  EXPECT_LE(lines[0].size(), at(LOG_INFO, "Warning: regcomp(): ").size() + 79);
}

TEST_F(CheckList, EntryWithoutValueEndsTheWalkWithNoMatch) {
  CAPTURE_SYSLOG_OR_SKIP();
  write_map("a", example_map());
  entries({"a", nullptr, "a"});
  EXPECT_EQ(checkList(list_, "192.0.2.77", CHECK_LIST_IPR, &matches_), 0);
  EXPECT_EQ(matched(), std::vector<std::string>{"a"});
  // syslog adds nothing; the reader drops the message's own final newline.
  std::vector<std::string> lines = logged();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), at(LOG_DEBUG, "checkList(): entry had no data."));
}

TEST_F(CheckList, IprModeRecordsEveryListThatHoldsTheIp) {
  CAPTURE_SYSLOG_OR_SKIP();
  write_map("a", example_map());
  write_map("c", map_bytes(1024).put32(4 * 192, ALL));
  write_map("d", map_bytes(1024));
  entries({"a", "b", "c", "d"});
  EXPECT_EQ(checkList(list_, "192.0.2.77", CHECK_LIST_IPR, &matches_), 1);
  EXPECT_EQ(matched(), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(logged(),
            (std::vector<std::string>{
                at(LOG_DEBUG, "checkList(): IPR lookup [" + cache_ + "/a]"),
                at(LOG_DEBUG, "checkList(): IPR lookup [" + cache_ + "/b]"),
                at(LOG_DEBUG, "checkList(): IPR lookup [" + cache_ + "/c]"),
                at(LOG_DEBUG, "checkList(): IPR lookup [" + cache_ + "/d]"),
            }));
}

TEST_F(CheckList, IprModeCountsBrokenMapsAsMisses) {
  write_map("corrupt", map_bytes(2048).put32(4 * 192, 4000));
  write_map("short", map_bytes(10));
  entries({"corrupt", "short", "missing"});
  EXPECT_EQ(checkList(list_, "192.0.2.77", CHECK_LIST_IPR, &matches_), 0);
  EXPECT_EQ(checkList(list_, "not-an-ip", CHECK_LIST_IPR, &matches_), 0);
  EXPECT_EQ(matches_, nullptr);
}

TEST_F(CheckList, UnknownModeMatchesNothing) {
  entries({"x"});
  EXPECT_EQ(checkList(list_, "x", 3, &matches_), 0);
  EXPECT_EQ(checkList(list_, "x", -1, &matches_), 0);
}

// ---- the map builder
// ------------------------------------------------------------

class MapBuilder : public ::testing::Test {
protected:
  // Builds from `text`; the map's bytes, or "" on failure (reason in error_).
  std::string build(const std::string &text) {
    std::string input = dir_.write("list.txt", text);
    char errbuf[256] = "unchanged";
    int rc =
        ipr_build_map(input.c_str(), output().c_str(), errbuf, sizeof errbuf);
    error_ = errbuf;
    if (rc != 0)
      return "";
    EXPECT_EQ(error_, "");
    return ut::read_file(output());
  }
  std::string output() const { return dir_.file("map"); }

  ut::temp_dir dir_;
  std::string error_;
};

TEST_F(MapBuilder, EmptyListGivesACleanLevel1Index) {
  EXPECT_EQ(build(""), std::string(1024, '\0'));
  EXPECT_EQ(build("# nothing\n\n   \n\t# still nothing\r\n"),
            std::string(1024, '\0'));
}

TEST_F(MapBuilder, WholeSlash8sUseTheAllListedValue) {
  std::string map = build("10.0.0.0/8\n2.0.0.0/7  # two of them\n");
  ASSERT_EQ(map.size(), 1024u);
  for (uint32_t a = 0; a < 256; ++a)
    EXPECT_EQ(get32(map, 4 * a), (a == 10 || a == 2 || a == 3) ? ALL : 0u) << a;
}

TEST_F(MapBuilder, WholeSlash16UsesTheAllListedValueInLevel2) {
  std::string map = build("172.16.0.0/16\n");
  ASSERT_EQ(map.size(), 2048u);
  EXPECT_EQ(get32(map, 4 * 172), 1024u);
  for (uint32_t b = 0; b < 256; ++b)
    EXPECT_EQ(get32(map, 1024 + 4 * b), b == 16 ? ALL : 0u) << b;
}

TEST_F(MapBuilder, SmallBlocksGetABitmap) {
  std::string map = build("192.0.2.77\n");
  ASSERT_EQ(map.size(), 1024u + 1024u + 8192u);
  EXPECT_EQ(get32(map, 4 * 192), 1024u);
  EXPECT_EQ(get32(map, 1024), 2048u);
  for (size_t i = 0; i < 8192; ++i)
    EXPECT_EQ(static_cast<unsigned char>(map[2048 + i]), i == 73 ? 0x04 : 0)
        << i;
}

TEST_F(MapBuilder, HalvesThatMakeAWholeBlockNeedNoBitmap) {
  std::string map = build("172.16.0.0/17\n172.16.128.0/17\n");
  ASSERT_EQ(map.size(), 2048u);
  EXPECT_EQ(get32(map, 1024 + 4 * 16), ALL);
  std::string text;
  for (int b = 0; b < 256; ++b)
    text += "10." + std::to_string(b) + ".0.0/16\n";
  map = build(text);
  ASSERT_EQ(map.size(), 1024u);
  EXPECT_EQ(get32(map, 4 * 10), ALL);
}

TEST_F(MapBuilder, WiderBlockSwallowsNarrowerOnesInAnyOrder) {
  std::string map = build("10.1.2.3\n10.1.0.0/16\n10.0.0.0/8\n10.2.3.0/24\n");
  ASSERT_EQ(map.size(), 1024u);
  EXPECT_EQ(get32(map, 4 * 10), ALL);
}

TEST_F(MapBuilder, StructuresFollowAddressOrder) {
  std::string map =
      build("20.1.0.0/24\n10.5.0.0/24\n10.3.0.0/24\n20.2.0.0/16\n");
  ASSERT_EQ(map.size(), 1024u + 2 * 1024u + 3 * 8192u);
  EXPECT_EQ(get32(map, 4 * 10), 1024u);
  EXPECT_EQ(get32(map, 1024 + 4 * 3), 2048u);
  EXPECT_EQ(get32(map, 1024 + 4 * 5), 2048u + 8192u);
  EXPECT_EQ(get32(map, 4 * 20), 2048u + 2 * 8192u);
  EXPECT_EQ(get32(map, 2048 + 2 * 8192 + 4 * 1), 3072u + 2 * 8192u);
  EXPECT_EQ(get32(map, 2048 + 2 * 8192 + 4 * 2), ALL);
}

TEST_F(MapBuilder, SlashZeroListsEverything) {
  std::string map = build("0.0.0.0/0\n");
  ASSERT_EQ(map.size(), 1024u);
  for (uint32_t a = 0; a < 256; ++a)
    EXPECT_EQ(get32(map, 4 * a), ALL);
}

TEST_F(MapBuilder, BadLinesNameTheirNumber) {
  const struct {
    const char *text;
    const char *error;
  } cases[] = {
      {"10.0.0.1\n# ok\n10.0.0.256\n",
       "line 3: not an IPv4 address or CIDR block: \"10.0.0.256\""},
      {"10.0.0.0/33\n",
       "line 1: prefix length must be 0 to 32: \"10.0.0.0/33\""},
      {"\n10.1.0.0/8\n",
       "line 2: address has bits set beyond the prefix length: \"10.1.0.0/8\""},
      {"1.2.3\n", "line 1: not an IPv4 address or CIDR block: \"1.2.3\""},
      {"01.2.3.4\n", "line 1: not an IPv4 address or CIDR block: \"01.2.3.4\""},
      {"1.2.3.4/\n", "line 1: not an IPv4 address or CIDR block: \"1.2.3.4/\""},
      {"1.2.3.4/-1\n",
       "line 1: not an IPv4 address or CIDR block: \"1.2.3.4/-1\""},
      {"1.2.3.4 5.6.7.8\n",
       "line 1: not an IPv4 address or CIDR block: \"1.2.3.4 5.6.7.8\""},
      {"host.example\n",
       "line 1: not an IPv4 address or CIDR block: \"host.example\""},
      {"1.2.3.4\x01\n", "line 1: not an IPv4 address or CIDR block: "
                        "\"1.2.3.4?\""},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(build(c.text), "") << c.text;
    EXPECT_EQ(error_, c.error);
  }
}

TEST_F(MapBuilder, LongBadLineIsShownCut) {
  EXPECT_EQ(build(std::string(200, 'x') + "\n"), "");
  EXPECT_EQ(error_, "line 1: not an IPv4 address or CIDR block: \"" +
                        std::string(60, 'x') + "...\"");
}

TEST_F(MapBuilder, FailureLeavesTheOldMapAndNoTemporaryFile) {
  ASSERT_EQ(build("10.0.0.0/8\n").size(), 1024u);
  EXPECT_EQ(build("10.0.0.0/8\nbogus\n"), "");
  EXPECT_EQ(get32(ut::read_file(output()), 4 * 10), ALL);
  EXPECT_FALSE(std::filesystem::exists(output() + ".tmp"));
}

TEST_F(MapBuilder, NewMapIsRenamedIntoPlace) {
  ASSERT_EQ(build("10.0.0.0/8\n").size(), 1024u);
  // A reader that opened the old map keeps reading the old map.
  int old_fd = open(output().c_str(), O_RDONLY);
  ASSERT_GE(old_fd, 0);
  struct stat before, after;
  ASSERT_EQ(fstat(old_fd, &before), 0);
  ASSERT_EQ(build("11.0.0.0/8\n").size(), 1024u);
  ASSERT_EQ(stat(output().c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
  EXPECT_EQ(lookupMap(old_fd, network_order("10.0.0.1")), 1);
  EXPECT_EQ(lookupMap(old_fd, network_order("11.0.0.1")), 0);
  close(old_fd);
  EXPECT_EQ(lookupMapFile(output().c_str(), "11.0.0.1"), 1);
  EXPECT_EQ(lookupMapFile(output().c_str(), "10.0.0.1"), 0);
  EXPECT_FALSE(std::filesystem::exists(output() + ".tmp"));
  EXPECT_EQ(
      after.st_mode & 0777, 0644u & ~[] {
        mode_t mask = umask(0);
        umask(mask);
        return mask;
      }());
}

TEST_F(MapBuilder, StaleTemporaryFileIsReplaced) {
  dir_.write("map.tmp", "stale");
  ASSERT_EQ(build("10.0.0.0/8\n").size(), 1024u);
  EXPECT_FALSE(std::filesystem::exists(output() + ".tmp"));
}

TEST_F(MapBuilder, UnreadableInputAndUnwritableOutputAreReported) {
  char errbuf[256];
  EXPECT_EQ(ipr_build_map(dir_.file("absent").c_str(), output().c_str(), errbuf,
                          sizeof errbuf),
            -1);
  EXPECT_EQ(std::string(errbuf), "cannot open " + dir_.file("absent") +
                                     ": No such file or directory");
  std::string input = dir_.write("list.txt", "10.0.0.0/8\n");
  std::string nowhere = dir_.file("no/such/dir/map");
  EXPECT_EQ(
      ipr_build_map(input.c_str(), nowhere.c_str(), errbuf, sizeof errbuf), -1);
  EXPECT_EQ(std::string(errbuf),
            "cannot create " + nowhere + ".tmp: No such file or directory");
  EXPECT_EQ(ipr_build_map(nullptr, output().c_str(), errbuf, sizeof errbuf),
            -1);
  EXPECT_EQ(std::string(errbuf), "missing input or output path");
  // No room for the reason is no reason to crash.
  EXPECT_EQ(ipr_build_map(nullptr, nullptr, nullptr, 0), -1);
  char small[8];
  EXPECT_EQ(ipr_build_map(nullptr, nullptr, small, sizeof small), -1);
  EXPECT_EQ(std::string(small), "missing");
}

// Random blocks built into a map, then every kind of address looked up in
// the map and checked against a plain scan of the blocks.
TEST_F(MapBuilder, RoundTripAgreesWithAPlainMembershipTest) {
  struct block {
    uint32_t network, mask;
  };
  for (uint32_t seed : {1u, 2u, 3u, 20240501u}) {
    std::mt19937 random(seed);
    auto next32 = [&random] { return static_cast<uint32_t>(random()); };
    auto below = [&random](uint32_t n) {
      return std::uniform_int_distribution<uint32_t>(0, n - 1)(random);
    };
    // A few busy /8s so that blocks overlap and share structures.
    std::vector<uint32_t> busy;
    for (int i = 0; i < 6; ++i)
      busy.push_back(below(256));
    std::vector<block> blocks;
    std::string text = "# seed " + std::to_string(seed) + "\n";
    const int count = 400;
    for (int i = 0; i < count; ++i) {
      // Mostly long prefixes, as real lists have; a few /8 to /15.
      uint32_t prefix = below(10) == 0 ? 8 + below(8) : 16 + below(17);
      uint32_t address = next32();
      if (below(4) != 0)
        address = (busy[below(busy.size())] << 24) | (address & 0xFFFFFF);
      uint32_t mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
      blocks.push_back({address & mask, mask});
      text += ip_text(address & mask);
      if (prefix != 32 || below(2)) {
        text += '/';
        text += std::to_string(prefix);
      }
      text += below(5) == 0 ? "   # comment\n" : "\n";
    }
    ASSERT_NE(build(text), "") << error_;
    const std::string path = output();
    auto listed = [&blocks](uint32_t ip) {
      for (const block &b : blocks)
        if ((ip & b.mask) == b.network)
          return 1;
      return 0;
    };
    std::vector<uint32_t> probes;
    for (const block &b : blocks) {
      const uint32_t last = b.network | ~b.mask;
      probes.insert(probes.end(), {b.network, last, b.network - 1, last + 1,
                                   b.network | (next32() & ~b.mask)});
    }
    for (int i = 0; i < 4000; ++i) {
      probes.push_back(next32());
      probes.push_back((busy[below(busy.size())] << 24) |
                       (next32() & 0xFFFFFF));
    }
    int inside = 0;
    for (uint32_t ip : probes) {
      const std::string text_ip = ip_text(ip);
      const int expected = listed(ip);
      inside += expected;
      ASSERT_EQ(lookupMapFile(path.c_str(), text_ip.c_str()), expected)
          << "seed " << seed << ", address " << text_ip;
    }
    // Both answers were well represented.
    EXPECT_GT(inside, static_cast<int>(probes.size()) / 10) << seed;
    EXPECT_LT(inside, static_cast<int>(probes.size()) * 9 / 10) << seed;
  }
}

} // namespace
