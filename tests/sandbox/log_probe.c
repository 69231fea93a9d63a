/* Probe program for the sandbox self-test.
 *   log_probe          prints stdin's byte count and the environment, two
 *                      syslog lines, "probe stderr" on stderr; exits 3
 *   log_probe many N   N syslog lines "line I" at LOG_DEBUG
 *   log_probe sleep S  sleeps S seconds
 *   log_probe leak     loses a heap block (for a leak-checking wrapper)
 *   log_probe 99 ...   exits 99 (a wrapper reporting an error)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

extern char **environ;
void *volatile lost;

int main(int argc, char **argv) {
  const char *mode = argc > 1 ? argv[1] : "";
  long n = argc > 2 ? atol(argv[2]) : 0;
  openlog("corvane-probe", LOG_PID, LOG_MAIL);
  if (strcmp(mode, "many") == 0) {
    for (long i = 0; i < n; ++i)
      syslog(LOG_DEBUG, "line %ld", i);
  } else if (strcmp(mode, "sleep") == 0) {
    sleep((unsigned)n);
  } else if (strcmp(mode, "leak") == 0) {
    lost = malloc(100);
    lost = NULL;
  } else if (strcmp(mode, "99") == 0) {
    return 99;
  } else {
    char buf[64];
    printf("stdin=%zd\n", read(0, buf, sizeof buf));
    for (char **e = environ; *e; ++e)
      printf("%s\n", *e);
    fprintf(stderr, "probe stderr\n");
    syslog(LOG_INFO, "probe info %s", "message");
    syslog(LOG_LOCAL3 | LOG_WARNING, "probe warning: with colon");
    return 3;
  }
  return 0;
}
