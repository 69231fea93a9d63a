// regex_lists: host-name pattern files, and whether a host name looks like
// a dynamically assigned (DSL-style) address.
//
// A pattern file holds POSIX extended regular expressions, one a line,
// matched without regard to case as a search anywhere in the subject (anchor
// with ^ and $ where wanted). Lines are read in pieces of at most 1023
// characters; each piece is a line of its own and is numbered as one (from
// 1, skipped pieces counted too). A final newline is removed; an empty line,
// and a line whose first character other than white space is '#', are
// skipped. Every other line is one pattern, whole: leading white space and
// a carriage return before the newline are part of it. The file is read
// anew on each call; a pattern that surely compiles and lacks a literal
// that every match holds (pattern_prefilter.h) is passed over without
// compiling it. A file of PATTERN_INDEX_MIN_FILE bytes or more is looked at
// through its index (pattern_index.h) while the index stands for it, which
// the call writes after reading the whole file once the file has been left
// unchanged for two seconds. Such a file is found with stat(2) and opened
// only to read a line that must be compiled or when no index stands for it
// (at once when not every user may read it); a file that is no longer the
// one found when it is opened is read whole. Either way the answers,
// warnings and line numbers are those that compiling every line gives.
//
//   checkRegexList(path, subject, log)
//                            1: a pattern matched (the scan stops there;
//                            LOG_DEBUG "checkRegexList(%s, line %d): hit
//                            [%s][%s]" with path, line, subject, pattern).
//                            0: none matched. -1: the file can't be opened
//                            or read (LOG_INFO "Warning: checkRegexList():
//                            unable to open file '%s'"), or a pattern
//                            failed to compile and none matched (LOG_INFO
//                            "Warning: checkRegexList(%s): regcomp(line
//                            %d): %s" for each broken line, with at most 79
//                            bytes of the compiler's text; the scan goes
//                            on). A missing subject gives -1 without
//                            reading or logging. `log` has syslog's shape;
//                            absent, nothing is logged.
//   walk_pattern_lines(fd, size, visit, ctx)
//                            calls visit(line number, pattern, ctx) for
//                            each pattern line of a pattern file open at
//                            its start (`size` from its fstat), as
//                            checkRegexList reads them; the first non-zero
//                            result ends the walk and is returned; 0 at the
//                            end, -1 when the file cannot be read.
//   checkDSLRegexList(subject)
//                            checkRegexList on config.dsl_regex_filename,
//                            logging through syslog; -1 with LOG_INFO
//                            "Warning: checkDSLRegexList(): filename not
//                            set" when that path is absent.
//   isDSL(hostname)          1 when the name looks dynamically assigned,
//                            else 0 (also for a missing name). The pattern
//                            file decides when checkDSLRegexList answers 0
//                            or 1; on -1 the built-in default_dslregex
//                            does (a compile failure of it: LOG_INFO
//                            "Warning: isDSL(): regcomp(): %s\n", answer 0;
//                            for a name that lacks one of its literals it is
//                            not compiled at all).
//
// default_dslregex, the built-in dynamic-address pattern (60 characters,
// modifiable): a first label (before any '.') holding four groups of one to
// three digits joined by '-', preceded by anything but digits and dots, and
// followed by at least one more character with no digit between the last
// group and that character. It takes 'host-10-1-2-3.example' and
// '10-1-2-3x', not 'mail.10-1-2-3.example' or '10-1-2-3'.
#pragma once

#include "util/log_func.h"

#include <cstdint>
#include <regex.h>

inline constexpr int PATTERN_REGEX_FLAGS = REG_EXTENDED | REG_ICASE | REG_NOSUB;

using pattern_visit = int (*)(int line_number, const char *pattern,
                              void *context);

extern char default_dslregex[];

int walk_pattern_lines(int fd, int64_t size, pattern_visit visit,
                       void *context);
int checkRegexList(const char *filename, const char *subject, log_func log);
int checkDSLRegexList(const char *subject);
int isDSL(const char *hostname);
