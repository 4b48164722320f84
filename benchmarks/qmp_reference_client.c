/* The near-limit reference for the QMP benchmark: plain socket calls, one 8 KiB read buffer,
 * lines written and read exactly as the native client does, no JSON parsing.
 *
 *   qmp_reference_client SOCKET connect N   N times: connect, greeting, capabilities, close
 *   qmp_reference_client SOCKET execute N   one connection, N query-status commands
 *
 * Prints the nanoseconds the N operations took. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

struct reader {
  int fd;
  char buffer[8192];
  size_t begin, end;
  char line[65536];
};

static void die(const char* what) {
  perror(what);
  exit(1);
}

/* Reads one line into r->line (the monitor's replies here are short). */
static size_t read_line(struct reader* r) {
  size_t length = 0;
  for (;;) {
    if (r->begin == r->end) {
      ssize_t n = recv(r->fd, r->buffer, sizeof r->buffer, 0);
      if (n <= 0) die("recv");
      r->begin = 0;
      r->end = (size_t)n;
    }
    char* start = r->buffer + r->begin;
    size_t available = r->end - r->begin;
    char* newline = memchr(start, '\n', available);
    size_t take = newline ? (size_t)(newline - start) + 1 : available;
    if (length + take > sizeof r->line) die("line too long");
    memcpy(r->line + length, start, take);
    length += take;
    r->begin += take;
    if (newline) return length;
  }
}

static void send_line(int fd, const char* line) {
  size_t length = strlen(line);
  while (length > 0) {
    ssize_t n = send(fd, line, length, MSG_NOSIGNAL);
    if (n <= 0) die("send");
    line += n;
    length -= (size_t)n;
  }
}

/* Sends a command and reads lines until its reply, skipping events. */
static void command(struct reader* r, const char* line) {
  send_line(r->fd, line);
  for (;;) {
    size_t length = read_line(r);
    r->line[length - 1] = '\0';
    if (strstr(r->line, "\"event\"") == NULL) return;
  }
}

static void open_monitor(struct reader* r, const char* path) {
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  r->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (r->fd < 0) die("socket");
  if (connect(r->fd, (struct sockaddr*)&address, sizeof address) < 0) die("connect");
  r->begin = r->end = 0;
  read_line(r);
  command(r, "{\"execute\":\"qmp_capabilities\"}\n");
}

static long long now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s SOCKET connect|execute N\n", argv[0]);
    return 2;
  }
  static struct reader r;
  const long count = strtol(argv[3], NULL, 10);
  long long started;
  if (strcmp(argv[2], "connect") == 0) {
    started = now_ns();
    for (long i = 0; i < count; ++i) {
      open_monitor(&r, argv[1]);
      close(r.fd);
    }
  } else {
    open_monitor(&r, argv[1]);
    started = now_ns();
    for (long i = 0; i < count; ++i) command(&r, "{\"execute\":\"query-status\"}\n");
    close(r.fd);
  }
  printf("%lld\n", now_ns() - started);
  return 0;
}
