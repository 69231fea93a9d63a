/* Probe program for the sandbox self-test: logs through syslog(), prints to
 * stdout and stderr and exits with known statuses, so that every field the
 * harness captures can be checked.
 *
 *   log_probe            stdin byte count, environment, two syslog lines, exit
 * 3 log_probe cat PATH   copy PATH to stdout (exit 1 if unreadable) log_probe
 * many N     N syslog lines "line I" at LOG_DEBUG log_probe big N      N bytes
 * to stdout and N bytes to stderr log_probe sleep S    sleep S seconds
 *   log_probe term       kill itself with SIGTERM
 *   log_probe shm ID     create a System V segment keyed ftok("/bin/bash", ID)
 *   log_probe leak       lose a heap block (for a leak-checking wrapper)
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <syslog.h>
#include <unistd.h>

extern char **environ;

static void *volatile lost;

static __attribute__((noinline)) void leak_block(void) {
  lost = malloc(100);
  memset(lost, 1, 100);
  lost = NULL;
}

static __attribute__((noinline)) void scrub_stack(void) {
  volatile char pad[4096];
  memset((char *)pad, 0, sizeof pad);
}

static int default_mode(void) {
  char buf[64];
  ssize_t n = read(0, buf, sizeof buf);
  int count = 0;
  char **e;
  printf("stdin=%zd\n", n);
  for (e = environ; *e; ++e)
    ++count;
  printf("env=%d\n", count);
  for (e = environ; *e; ++e)
    printf("%s\n", *e);
  fflush(stdout);
  fprintf(stderr, "probe stderr\n");
  openlog("corvane-probe", LOG_PID, LOG_MAIL);
  syslog(LOG_INFO, "probe info %s", "message");
  syslog(LOG_LOCAL3 | LOG_WARNING, "probe warning: with colon");
  closelog();
  return 3;
}

int main(int argc, char **argv) {
  const char *mode = argc > 1 ? argv[1] : "";
  const char *arg = argc > 2 ? argv[2] : "";
  if (mode[0] == '\0')
    return default_mode();
  if (strcmp(mode, "cat") == 0) {
    char buf[4096];
    size_t n;
    FILE *f = fopen(arg, "r");
    if (!f)
      return 1;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
      fwrite(buf, 1, n, stdout);
    fclose(f);
    return 0;
  }
  if (strcmp(mode, "many") == 0) {
    long i, count = atol(arg);
    openlog("corvane-probe", LOG_PID, LOG_MAIL);
    for (i = 0; i < count; ++i)
      syslog(LOG_DEBUG, "line %ld", i);
    closelog();
    return 0;
  }
  if (strcmp(mode, "big") == 0) {
    static char outs[65536], errs[65536];
    long left = atol(arg);
    memset(outs, 'o', sizeof outs);
    memset(errs, 'e', sizeof errs);
    while (left > 0) {
      size_t n = left < (long)sizeof outs ? (size_t)left : sizeof outs;
      fwrite(outs, 1, n, stdout);
      fwrite(errs, 1, n, stderr);
      left -= (long)n;
    }
    return 0;
  }
  if (strcmp(mode, "sleep") == 0) {
    sleep((unsigned)atoi(arg));
    return 0;
  }
  if (strcmp(mode, "term") == 0) {
    fflush(stdout);
    raise(SIGTERM);
    return 0;
  }
  if (strcmp(mode, "shm") == 0) {
    key_t key = ftok("/bin/bash", atoi(arg));
    int id = shmget(key, 4096, IPC_CREAT | 0600);
    if (id < 0) {
      perror("shmget");
      return 1;
    }
    printf("%d\n", id);
    return 0;
  }
  if (strcmp(mode, "leak") == 0) {
    leak_block();
    scrub_stack();
    return 0;
  }
  fprintf(stderr, "log_probe: unknown mode %s\n", mode);
  return 2;
}
