// general_funcs_ext: the rest of the older general function set, which the
// plug-in does not call (general_funcs holds the four it does).
//
// Like general_funcs they report nothing: a missing argument or a failed
// allocation leaves the caller's data as it was. A function that produces a
// string frees what the caller's pointer held and stores a new block there
// (release it with free()).
//
//   is_directory(path)       a directory (links followed).
//   is_executable(path)      a regular file the real user may read and run.
//   copy_file(source, destination)
//                            1 after copying a regular source over the
//                            destination (created or truncated); 0 for an
//                            empty path, a source of another kind, or a
//                            file that cannot be opened, read or written.
//   int_to_str(value, &s)    s becomes value's decimal text.
//   tmp_file_name(name)      new string "/tmp/<name>.<pid>" (nothing is
//                            created); null for a null name.
//   start_of_day(t)          local midnight at the start of t's day.
//   regex_extract(&s, pattern, sub_pattern, text)
//                            s becomes the first match of the extended
//                            pattern in text or, with a sub-pattern, the
//                            first match of that from the first match on.
//                            0; -1 missing argument, pattern that does not
//                            compile or no memory; -2 no match; -3 the
//                            sub-pattern does not compile; -4 it does not
//                            match.
//   regex_extract_int(&n, pattern, sub_pattern, text)
//                            the extraction read as a decimal number into n;
//                            regex_extract's result.
//   regex_extract_str(&s, pattern, sub_pattern, text)
//                            regex_extract; 0, or -1 on any failure.
//   run_command(command)     the shell command's exit status; -1 for null.
//   remote_url_fetch(program, data, options, address, &text, &code)
//                            runs "program options -d 'data' -o BODY -D
//                            HEADERS address" (curl's options) through the
//                            shell; 1 with text = the body and code = the
//                            number after the first space of the headers;
//                            0 with text = "Fatal error executing remote url
//                            fetch. Exit code: [N]" and code 0. BODY and
//                            HEADERS are /tmp/ihd.<pid> and /tmp/ihh.<pid>,
//                            removed afterwards. The program, options and
//                            address are shell text, as the caller writes
//                            them. 0 and nothing run or changed for a
//                            missing argument or data holding a single
//                            quote, which would end the quoting.
//   strip_line_ends(text)    every \r and \n becomes NUL, in place.
//   lower_ascii(text), upper_ascii(text)  ASCII letters change case in place.
//   stderr_print(priority, format, ...)   a log_func writing "DEBUG[<pid>]:
//                            <message>" and a line feed to standard error;
//                            the priority is ignored.
#pragma once

#include <cstdint>
#include <ctime>

bool is_directory(const char *path);
bool is_executable(const char *path);
int copy_file(const char *source, const char *destination);
void int_to_str(int64_t value, char **string);
char *tmp_file_name(const char *name);
time_t start_of_day(time_t time);
int regex_extract(char **string, const char *pattern, const char *sub_pattern,
                  const char *text);
int regex_extract_int(uint32_t *number, const char *pattern,
                      const char *sub_pattern, const char *text);
int regex_extract_str(char **string, const char *pattern,
                      const char *sub_pattern, const char *text);
int run_command(const char *command);
int remote_url_fetch(const char *program, const char *data, const char *options,
                     const char *address, char **text, int *code);
void strip_line_ends(char *text);
void lower_ascii(char *text);
void upper_ascii(char *text);
void stderr_print(int priority, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
