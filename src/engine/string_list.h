// string_list: a singly linked list of borrowed text pointers.
//
// A list is the address of its first node; the empty list is a null head.
// The list never copies a value: string_list_clear releases the nodes only,
// string_list_free also frees every non-null value.
//
//   string_list_insert(&head, value, sorted)  0, or -1 for a missing head
//       address or a failed node allocation (the value stays the caller's).
//       sorted == 1 inserts before the first null or not-smaller value
//       (strcmp), so the newest of equal values stands first; otherwise the
//       node is appended at the tail.
//   string_list_append(&head, value)          insert unsorted.
#pragma once

struct string_list {
  char *value;
  string_list *next;
};

int string_list_insert(string_list **head, char *value, int sorted);
int string_list_append(string_list **head, char *value);
void string_list_clear(string_list **head);
void string_list_free(string_list **head);
