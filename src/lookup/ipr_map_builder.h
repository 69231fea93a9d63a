// ipr_map_builder: turns a text list of IPv4 networks into an IPR map file
// in the format that ipr_maps reads.
//
//   ipr_build_map(input_path, output_path, errbuf, errlen)
//       0 when the map was written, -1 otherwise with a one-line reason in
//       errbuf (when given; cut to errlen bytes).
//
// Input: one IPv4 address ("192.0.2.7", taken as /32) or CIDR block
// ("192.0.2.0/24", prefix length 0 to 32) a line; white space around an
// entry is ignored, "#" starts a comment that runs to the end of the line,
// blank lines are skipped. The address must be in dotted decimal (four
// parts, no leading zeros) and a block must have no bits set beyond its
// prefix. A line that breaks these rules fails the whole build with its
// number in the reason, for example "line 3: not an IPv4 address or CIDR
// block". Blocks may overlap and come in any order.
//
// Output: a wholly listed /8 or /16 is answered by the index value
// 0xFFFFFFFF, a wholly clean one by 0; only partly listed /8s get a level-2
// index and only partly listed /16s a bitmap. Every structure is written
// once, in address order, each index entry pointing at its own structure.
// The map is written to "<output_path>.tmp", flushed to disk with fsync and
// renamed over output_path, so that a running plug-in reads either the old
// map or the new one, never half of one. A failed build leaves output_path
// as it was and removes the temporary file. Two builds of the same output
// at once are not supported.
//
// To ask whether an address is on a built map, use lookupMapFile
// (ipr_maps.h).
#pragma once

#include <cstddef>

int ipr_build_map(const char *input_path, const char *output_path, char *errbuf,
                  size_t errlen);
