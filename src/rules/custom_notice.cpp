#include "rules/custom_notice.h"

#include "util/plugin_log.h"
#include "util/raii.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <syslog.h>

namespace {

constexpr size_t HEADER_SIZE = sizeof(uint32_t);

// One load: another process may rewrite the header at any time, so the
// value checked must be the value used. Segments are attached page-aligned.
uint32_t stored_length(const void *segment) {
  return __atomic_load_n(static_cast<const uint32_t *>(segment),
                         __ATOMIC_RELAXED);
}

} // namespace

int open_custom_notice(int notice_id) {
  if (notice_id < 1)
    return -1;
  key_t key = ftok(CUSTOM_NOTICE_KEY_FILE, notice_id);
  if (key == -1) {
    plugin_log(LOG_DEBUG, "failed to generate key");
    return -1;
  }
  int shmid = shmget(key, HEADER_SIZE, 0400);
  if (shmid == -1)
    return -1;
  uint32_t length;
  {
    shm_attachment segment(shmid);
    if (!segment.attached())
      return -1;
    length = stored_length(segment.get());
  }
  // Fails when the segment is smaller than its header claims.
  return shmget(key, static_cast<size_t>(length) + HEADER_SIZE, 0400);
}

char *fetch_custom_notice(int notice_id) {
  if (notice_id <= 0)
    return nullptr;
  int shmid = open_custom_notice(notice_id);
  if (shmid == -1)
    return nullptr;
  shm_attachment segment(shmid, SHM_RDONLY);
  if (!segment.attached())
    return nullptr;
  // Every local user may rewrite the segment while it is read: its length
  // is read once, and the copy stays inside the segment's real size.
  struct shmid_ds status;
  if (shmctl(shmid, IPC_STAT, &status) != 0 || status.shm_segsz < HEADER_SIZE)
    return nullptr;
  uint32_t length = stored_length(segment.get());
  if (length > status.shm_segsz - HEADER_SIZE)
    return nullptr;
  char *text = static_cast<char *>(std::calloc(length + size_t{1}, 1));
  if (!text) {
    plugin_log(LOG_DEBUG,
               "out of memory allocation buffer for rejection notice");
    return nullptr;
  }
  std::memcpy(text, static_cast<const char *>(segment.get()) + HEADER_SIZE,
              length);
  return text;
}

int store_custom_notice(int notice_id, const char *text) {
  if (notice_id < 1)
    return 0;
  int old = open_custom_notice(notice_id);
  if (old != -1)
    shmctl(old, IPC_RMID, nullptr);
  if (!text || !*text)
    return 1;
  size_t length = std::strlen(text);
  if (length > UINT32_MAX - HEADER_SIZE)
    return 0;
  key_t key = ftok(CUSTOM_NOTICE_KEY_FILE, notice_id);
  if (key == 0 || key == -1) {
    plugin_log(LOG_DEBUG, "failed to generate unique key");
    return 0;
  }
  int shmid = shmget(key, length + HEADER_SIZE, IPC_CREAT | 0777);
  if (shmid == -1) {
    plugin_log(LOG_DEBUG, "failed to link memory buffer for IPC");
    return 0;
  }
  shm_attachment segment(shmid);
  if (!segment.attached()) {
    plugin_log(LOG_DEBUG, "failed to link memory buffer for IPC");
    return 0;
  }
  auto length32 = static_cast<uint32_t>(length);
  auto *bytes = static_cast<char *>(segment.get());
  std::memcpy(bytes + HEADER_SIZE, text, length);
  std::memcpy(bytes, &length32, HEADER_SIZE);
  return 1;
}
