/* The floor of a per-folder run: starts a command N times, one after
 * another, each waited for, as a program that starts one archiver per folder
 * must. Static, so that its own start costs no dynamic linking.
 *   spawnloop N COMMAND [ARG...]      posix_spawnp, then waitpid
 *   spawnloop -s N COMMAND [ARG...]   system() of COMMAND and ARGs joined by
 *                                     spaces (plain words only): one /bin/sh each
 * Exits 1 when a run fails, 2 on a usage error. */
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

extern char** environ;

static int spawn_once(char** argv) {
  pid_t pid;
  int err = posix_spawnp(&pid, argv[0], NULL, NULL, argv, environ);
  if (err != 0) {
    fprintf(stderr, "spawnloop: cannot start %s: %s\n", argv[0], strerror(err));
    return 0;
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return 0;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int main(int argc, char** argv) {
  int through_shell = argc > 1 && strcmp(argv[1], "-s") == 0;
  argv += through_shell;
  argc -= through_shell;
  if (argc < 3) {
    fprintf(stderr, "usage: spawnloop [-s] N COMMAND [ARG...]\n");
    return 2;
  }
  long n = strtol(argv[1], NULL, 10);
  char line[4096] = "";
  if (through_shell) {
    for (int i = 2; i < argc; ++i) {
      if (strlen(line) + strlen(argv[i]) + 2 > sizeof line) return 2;
      if (i > 2) strcat(line, " ");
      strcat(line, argv[i]);
    }
  }
  for (long i = 0; i < n; ++i) {
    int ok = through_shell ? system(line) == 0 : spawn_once(argv + 2);
    if (!ok) {
      fprintf(stderr, "spawnloop: run %ld of %s failed\n", i + 1, argv[2]);
      return 1;
    }
  }
  return 0;
}
