// custom_notice: administrators' own rejection texts in System V shared
// memory, one segment per notice id (1 to 46), keyed ftok("/bin/bash", id).
//
// A segment holds a native 32-bit length L and then L text bytes, no NUL;
// it is exactly L + 4 bytes, created with mode 0777.
//
//   open_custom_notice(id)        the segment identifier, or -1 when there
//                                 is no usable segment (none, or smaller
//                                 than its header claims).
//   fetch_custom_notice(id)       a heap copy of the text (free()), or null.
//   store_custom_notice(id, text) 1 stored (or removed, for an absent or
//                                 empty text); 0 refused or failed. A key
//                                 that ftok cannot derive (-1) or that is 0
//                                 is refused.
//
// Readers copy and detach at once and take no lock; a writer replaces a
// text by removing the segment and creating a new one.
#pragma once

int open_custom_notice(int notice_id);
char *fetch_custom_notice(int notice_id);
int store_custom_notice(int notice_id, const char *text);

// The file whose identity derives the keys.
inline constexpr const char *CUSTOM_NOTICE_KEY_FILE = "/bin/bash";
