// ipr_maps: IP-reputation (IPR) map files and the list matcher that the
// block_lists rule uses.
//
// A map file answers one question in at most three small reads: is this
// IPv4 address a.b.c.d on the list? It has no header; all integers are
// unsigned 32-bit little-endian and all offsets absolute:
//   offset 0: level-1 index, 256 entries, entry a for a.0.0.0/8;
//   a level-2 index (1024 bytes) at the offset in level-1 entry a, entry b
//   for a.b.0.0/16;
//   a bitmap (8192 bytes) at the offset in level-2 entry b, one bit for each
//   a.b.c.d, n = c*256 + d in byte n/8 under the mask 0x80 >> (n % 8).
// Index value 0: nothing of the block is listed; 0xFFFFFFFF: all of it is.
// A level-2 offset above the file size - 1024 or a bitmap offset above the
// file size - 8192 makes the file corrupt.
//
//   lookupMap(fd, address)   address in network byte order (as inet_aton
//                            gives it). 1 listed, 0 not listed, -1 error:
//                            invalid descriptor ("lookupMap(): invalid file
//                            handle", LOG_WARNING), failed or short read
//                            (silent), corrupt file ("lookupMap(): corrupt
//                            IPR file", LOG_ERR).
//   lookupMapFile(path, ip)  the same for a map file and an IP text; -1 also
//                            for a missing argument, an IP that inet_aton
//                            rejects (LOG_WARNING "lookupMapFile(): %s is
//                            not a valid IP address") or a path that is no
//                            regular file (silent). No lock is taken.
//   ipr_map_problem(fd)      null when every index entry of the map on fd
//                            lies inside it (so every lookup answers),
//                            else why not: a short map (no whole level-1
//                            index), a corrupt one, or a read error.
//   lookupMaps(dir, names, ip, print)
//                            looks the IP up in every map dir/name for the
//                            space-separated names that name a regular file,
//                            logging each answer at LOG_INFO; with `print`
//                            the names of the lists that hold the IP go to
//                            standard output, each followed by a space, and
//                            a newline ends the line. 1 the IP is on at
//                            least one list, 0 on none, -1 invalid IP.
//   checkList(list, subject, mode, &matches)
//                            1 match, 0 none (also for a missing list or
//                            subject). Mode 0: each entry a case-blind
//                            extended regular expression, the first match
//                            ends the walk; mode 1: each entry compared for
//                            equality (case-sensitive); mode 2: each entry
//                            the name of a map file in config.ipr_cache_dir
//                            and the subject an IP text, every list walked.
//                            Matching entries (modes 0 and 2) are appended
//                            to `matches` when given: the values themselves,
//                            so clear it with string_list_clear. An entry
//                            without a value ends the walk with 0.
//
// A lookup of a map file by path costs its open, the fstat that tells
// whether it is a regular file and its size, at most three positioned reads
// (pread) of 4, 4 and 1 bytes and the close (lookupMap on a descriptor
// seeks to the end for the size instead); the file is neither mapped nor
// read whole, and nothing is cached. A missing, unreadable or corrupt map
// counts as "not listed" for checkList.
#pragma once

#include "engine/string_list.h"

#include <cstdint>

enum check_list_mode {
  CHECK_LIST_REGEX = 0,
  CHECK_LIST_EQUAL = 1,
  CHECK_LIST_IPR = 2
};

int lookupMap(int fd, uint32_t address);
int lookupMapFile(const char *path, const char *ip);
const char *ipr_map_problem(int fd);
int lookupMaps(const char *directory, const char *names, const char *ip,
               int print);
int checkList(string_list *list, const char *subject, int mode,
              string_list **matches);
