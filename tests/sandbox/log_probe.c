/* Probe program for the sandbox self-test.
 *   log_probe [N]    prints stdin's byte count and the environment, "probe
 *                    stderr" on stderr, two syslog lines and N "line I";
 *                    exits 3
 *   log_probe sleep  sleeps 30 seconds
 *   log_probe leak   loses a heap block (for a leak-checking wrapper)
 *   log_probe 99 ... exits 99 (a wrapper reporting an error)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

extern char **environ;
void *volatile lost;

int main(int argc, char **argv) {
  const char *mode = argc > 1 ? argv[1] : "0";
  if (strcmp(mode, "sleep") == 0)
    sleep(30);
  if (strcmp(mode, "leak") == 0)
    lost = malloc(100), lost = NULL;
  if (strcmp(mode, "99") == 0)
    return 99;
  if (strcmp(mode, "sleep") == 0 || strcmp(mode, "leak") == 0)
    return 0;
  char buf[64];
  printf("stdin=%zd\n", read(0, buf, sizeof buf));
  for (char **e = environ; *e; ++e)
    printf("%s\n", *e);
  fprintf(stderr, "probe stderr\n");
  openlog("corvane-probe", LOG_PID, LOG_MAIL);
  syslog(LOG_INFO, "probe info %s", "message");
  syslog(LOG_LOCAL3 | LOG_WARNING, "probe warning: with colon");
  for (long i = 0; i < atol(mode); ++i)
    syslog(LOG_DEBUG, "line %ld", i);
  return 3;
}
