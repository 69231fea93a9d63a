#include "engine/string_list.h"

#include <cstdlib>
#include <cstring>

int string_list_insert(string_list **head, char *value, int sorted) {
  if (!head)
    return -1;
  auto *node = static_cast<string_list *>(std::malloc(sizeof(string_list)));
  if (!node)
    return -1;
  node->value = value;
  node->next = nullptr;

  string_list **link = head;
  if (sorted == 1) {
    while (value && *link && (*link)->value &&
           std::strcmp(value, (*link)->value) > 0)
      link = &(*link)->next;
  } else {
    while (*link)
      link = &(*link)->next;
  }
  node->next = *link;
  *link = node;
  return 0;
}

int string_list_append(string_list **head, char *value) {
  return string_list_insert(head, value, 0);
}

void string_list_clear(string_list **head) {
  if (!head)
    return;
  string_list *node = *head;
  while (node) {
    string_list *next = node->next;
    std::free(node);
    node = next;
  }
  *head = nullptr;
}

void string_list_free(string_list **head) {
  if (!head)
    return;
  for (string_list *node = *head; node; node = node->next) {
    std::free(node->value);
    node->value = nullptr;
  }
  string_list_clear(head);
}
