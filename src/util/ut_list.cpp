#include "util/ut_list.h"

#include "util/ut_log.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// The length of a text that a trace may show with "%.*s".
int shown(uint64_t length) {
  return length > INT_MAX ? INT_MAX : static_cast<int>(length);
}

} // namespace

int ut_append_list_entry(ut_list_node **list, void *data, uint64_t size,
                         bool copy) {
  if (!list || !data || size == 0) {
    UT_ERRNO(EINVAL);
    return -1;
  }
  auto *node =
      static_cast<ut_list_node *>(std::calloc(1, sizeof(ut_list_node)));
  if (!node) {
    UT_ERRNO(ENOMEM);
    return -2;
  }
  UT_DEBUG("new member created");
  if (copy) {
    UT_DEBUG("request for member data copy");
    void *block = std::calloc(1, size);
    if (!block) {
      std::free(node);
      UT_ERRNO(ENOMEM);
      return -3;
    }
    std::memcpy(block, data, size);
    node->data = block;
    UT_DEBUG("member data copied");
  } else {
    UT_DEBUG("member data assigned - no copy made");
    node->data = data;
  }
  node->size = size;

  int count = 1;
  if (!*list) {
    UT_DEBUG("destination list is NULL - new list");
    *list = node;
  } else {
    UT_DEBUG("destination list set - appending");
    ut_list_node *last = *list;
    for (++count; last->next; last = last->next)
      ++count;
    last->next = node;
    UT_DEBUG("appended");
  }
  UT_DEBUG("total list items %d", count);
  return count;
}

void ut_destroy_list(ut_list_node **list, ut_list_release release) {
  if (!list) {
    UT_ERRNO(EINVAL);
    return;
  }
  if (!*list) {
    UT_DEBUG("no list - nothing to do.");
    return;
  }
  for (ut_list_node *node = *list; node;) {
    ut_list_node *next = node->next;
    if (node->data) {
      UT_DEBUG("freeing member data");
      if (release)
        release(node->data);
    }
    std::free(node);
    UT_DEBUG("member freed");
    node = next;
  }
  *list = nullptr;
}

int ut_num_elements(const ut_list_node *list) {
  if (!list) {
    UT_DEBUG("nothing to count returning 0");
    return 0;
  }
  int count = 0;
  for (; list; list = list->next)
    ++count;
  UT_DEBUG("counted %d elements", count);
  return count;
}

ut_list_node *ut_list_search(ut_list_node *list, const void *key,
                             uint64_t key_size, ut_list_compare compare) {
  if (key_size == 0 || !key || !compare) {
    UT_ERRNO(EINVAL);
    return nullptr;
  }
  for (ut_list_node *node = list; node; node = node->next) {
    if (!node->data)
      continue;
    uint64_t count = key_size < node->size ? key_size : node->size;
    if (compare(node->data, key, count) == 0) {
      UT_DEBUG("found a match");
      return node;
    }
  }
  UT_DEBUG("no match found");
  return nullptr;
}

bool ut_list_contains(ut_list_node *list, const void *key, uint64_t key_size,
                      ut_list_compare compare) {
  return ut_list_search(list, key, key_size, compare) != nullptr;
}

int ut_list_remove(ut_list_node **list, ut_list_node *node) {
  if (!list || !*list || !node) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  ut_list_node *previous = nullptr;
  ut_list_node *at = *list;
  while (at && at != node) {
    previous = at;
    at = at->next;
  }
  if (!at)
    return 0;
  UT_DEBUG("found a match - trying to remove");
  if (previous) {
    UT_DEBUG("tied next item to previous->next");
    previous->next = node->next;
  } else {
    *list = node->next;
  }
  node->next = nullptr;
  return 1;
}

int ut_list_remove_free(ut_list_node **list, ut_list_node *node,
                        ut_list_release release) {
  if (!list || !*list || !node) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  ut_list_node *rebuilt = nullptr;
  for (ut_list_node *at = *list; at; at = at->next) {
    if (at == node) {
      if (at->data && release) {
        release(at->data);
        at->data = nullptr;
      }
      continue;
    }
    if (ut_append_list_entry(&rebuilt, at->data, at->size, false) < 1) {
      ut_destroy_list(&rebuilt, nullptr);
      return 0;
    }
  }
  ut_destroy_list(list, nullptr);
  *list = rebuilt;
  return 1;
}

int ut_list_from_string_by_char(ut_list_node **list, const char *text,
                                uint64_t length, char delimiter) {
  if (!text || !list || length == 0) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  // The text need not be terminated within `length`: traces show it with a
  // precision, and no byte at or past `length` is read.
  UT_DEBUG("splitting [%.*s] by delimiter [%c]", shown(length), text,
           delimiter);
  const char *end = text + length;
  for (const char *start = text; start < end;) {
    if (*start == delimiter) {
      ++start;
      continue;
    }
    UT_DEBUG("ptr1 pointing to [%.*s]", shown(end - start), start);
    const char *stop = start;
    while (stop < end && *stop != delimiter)
      ++stop;
    UT_DEBUG("ptr2 pointing to [%.*s]", shown(end - stop), stop);
    uint64_t run = static_cast<uint64_t>(stop - start);
    char *field = static_cast<char *>(std::calloc(run + 1, 1));
    if (!field) {
      UT_ERRNO(ENOMEM);
      return 0;
    }
    std::memcpy(field, start, run);
    UT_DEBUG("extracted [%s]", field);
    if (ut_append_list_entry(list, field, run + 1, false) < 1) {
      std::free(field);
      UT_ERRNO(ECANCELED);
      return 0;
    }
    start = stop;
  }
  return 1;
}
