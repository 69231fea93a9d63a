// ut_list: the utility library's singly linked list of untyped members.
//
// A list is a pointer to its first node; the empty list is null. Members are
// appended at the tail only. Each member is an address and a byte count; the
// list never looks at the bytes. Nodes belong to the list; member data
// belongs to the list only when appended with `copy` (a private block of
// exactly `size` bytes), otherwise the node keeps the caller's pointer. Data
// is freed only through a release function passed to ut_destroy_list or
// ut_list_remove_free.
//
//   ut_append_list_entry(&list, data, size, copy)
//        the number of members afterwards; -1 for a missing list address or
//        data or a size of 0; -2 when the node, -3 when the copy cannot be
//        allocated (the list is unchanged).
//   ut_destroy_list(&list, release)  frees every node, releasing non-null
//        data with `release` when given; the list is null afterwards.
//   ut_num_elements(list)            the number of members.
//   ut_list_search(list, key, key_size, compare)
//        the first member for which compare(data, key, min(key_size, size))
//        gives 0 (members with null data are skipped); null otherwise.
//   ut_list_contains(...)            whether ut_list_search finds one.
//   ut_list_remove(&list, node)      1 when the node (by address) was
//        unlinked: it and its data then belong to the caller; 0 otherwise.
//   ut_list_remove_free(&list, node, release)
//        rebuilds the list without the node, releasing its data; 1, or 0 for
//        missing arguments or when the rebuild cannot allocate (the old list
//        stays). Every node pointer into the old list is invalid afterwards.
//   ut_list_from_string_by_char(&list, text, length, delimiter)
//        appends each non-empty run of the first `length` bytes between
//        delimiters as a new terminated string (size: run length + 1),
//        untrimmed; 1, or 0 for missing arguments or a failed allocation
//        (the fields appended so far stay). Destroy with free as release.
//
// Argument errors and allocation failures are reported (ut_log) with the
// system's texts for EINVAL, ENOMEM and ECANCELED.
#pragma once

#include <cstddef>
#include <cstdint>

struct ut_list_node {
  void *data;
  uint64_t size;
  ut_list_node *next;
};

using ut_list_release = void (*)(void *data);
using ut_list_compare = int (*)(const void *data, const void *key,
                                size_t count);

int ut_append_list_entry(ut_list_node **list, void *data, uint64_t size,
                         bool copy);
void ut_destroy_list(ut_list_node **list, ut_list_release release);
int ut_num_elements(const ut_list_node *list);
ut_list_node *ut_list_search(ut_list_node *list, const void *key,
                             uint64_t key_size, ut_list_compare compare);
bool ut_list_contains(ut_list_node *list, const void *key, uint64_t key_size,
                      ut_list_compare compare);
int ut_list_remove(ut_list_node **list, ut_list_node *node);
int ut_list_remove_free(ut_list_node **list, ut_list_node *node,
                        ut_list_release release);
int ut_list_from_string_by_char(ut_list_node **list, const char *text,
                                uint64_t length, char delimiter);
