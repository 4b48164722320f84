"""Sequential Firecracker API requests against nginx on a Unix socket, one connection each.

Compares `firecracker_request` with Python's `http.client` over AF_UNIX and with a minimal C
client (socket, connect, send, receive until the declared body is in, close), the near-limit
reference. Prints microseconds per request and the ratios to the C client, as medians of
rounds in which the three clients take turns; --json also writes them for benchmarks/report.py.

    tools/dev bench firecracker_request [--requests N] [--rounds R] [--json FILE]
"""

import argparse
import http.client
import json
import os
import shutil
import socket
import statistics
import subprocess
import tempfile
import time

import brindle_core._ffi as ffi

NGINX_CONFIG = """daemon off; master_process off; worker_processes 1;
pid {dir}/nginx.pid; error_log {dir}/error.log;
events {{ worker_connections 256; }}
http {{ access_log off; client_body_temp_path {dir}/body;
  server {{ listen unix:{dir}/api.sock;
    location = / {{ default_type application/json; return 200 '{{"state":"Running"}}'; }} }} }}
"""


class Nginx:
    """nginx in the foreground from a temporary configuration, on a Unix socket."""

    def __init__(self) -> None:
        self.directory = tempfile.mkdtemp(prefix="fc-bench-nginx-")
        self.socket_path = os.path.join(self.directory, "api.sock")
        with open(os.path.join(self.directory, "nginx.conf"), "w") as f:
            f.write(NGINX_CONFIG.format(dir=self.directory))
        program = shutil.which("nginx") or "/usr/sbin/nginx"
        self.process = subprocess.Popen(
            [program, "-p", self.directory, "-c", "nginx.conf", "-e", "error.log"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.socket_path):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise SystemExit("nginx did not start")
            time.sleep(0.01)

    def close(self) -> None:
        self.process.terminate()
        self.process.wait()
        shutil.rmtree(self.directory, ignore_errors=True)

C_CLIENT = r"""
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

static const char request[] =
    "GET / HTTP/1.1\r\nHost: localhost\r\nAccept: application/json\r\n"
    "Content-Type: application/json\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

int main(int argc, char** argv) {
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
  long n = atol(argv[2]);
  char buffer[8192];
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (long i = 0; i < n; i++) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) < 0) return 1;
    ssize_t sent = send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
    if (sent != (ssize_t)(sizeof request - 1)) return 1;
    size_t have = 0, want = 0;
    for (;;) {
      ssize_t got = recv(fd, buffer + have, sizeof buffer - 1 - have, 0);
      if (got <= 0) return 1;
      have += (size_t)got;
      buffer[have] = 0;
      char* end_of_head = strstr(buffer, "\r\n\r\n");
      if (end_of_head == NULL) continue;
      if (want == 0) {
        char* length = strcasestr(buffer, "\r\nContent-Length:");
        want = (size_t)(end_of_head + 4 - buffer) + (length ? strtoul(length + 17, NULL, 10) : 0);
      }
      if (have >= want) break;
    }
    close(fd);
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  printf("%.0f\n", (end.tv_sec - start.tv_sec) * 1e9 + (end.tv_nsec - start.tv_nsec));
  return 0;
}
"""


class UnixHTTPConnection(http.client.HTTPConnection):
    def __init__(self, path: str) -> None:
        super().__init__("localhost")
        self.unix_path = path

    def connect(self) -> None:
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(self.unix_path)


def time_ffi(path: str, n: int) -> float:
    request = ffi.firecracker_request
    start = time.perf_counter_ns()
    for _ in range(n):
        request(path, "GET", "/", None, 5.0)
    return (time.perf_counter_ns() - start) / n / 1000


def time_http_client(path: str, n: int) -> float:
    headers = {"Accept": "application/json", "Content-Type": "application/json",
               "Connection": "close"}
    start = time.perf_counter_ns()
    for _ in range(n):
        connection = UnixHTTPConnection(path)
        connection.request("GET", "/", body=b"", headers=headers)
        response = connection.getresponse()
        response.read()
        connection.close()
    return (time.perf_counter_ns() - start) / n / 1000


def time_c(program: str, path: str, n: int) -> float:
    output = subprocess.run([program, path, str(n)], check=True, capture_output=True, text=True)
    return float(output.stdout) / n / 1000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--json", help="also write the figures to this file")
    options = parser.parse_args()

    build = tempfile.mkdtemp(prefix="fc-bench-")
    program = os.path.join(build, "client")
    source = os.path.join(build, "client.c")
    with open(source, "w") as f:
        f.write(C_CLIENT)
    subprocess.run(["cc", "-O2", "-o", program, source], check=True)
    nginx = Nginx()
    try:
        path = nginx.socket_path
        assert ffi.firecracker_request(path, "GET", "/", None, 5.0)[0] == 200
        # The role is what the report's charts mark: the near-limit reference, this module, a peer.
        roles = {"C client": "reference", "firecracker_request": "native",
                 "http.client (AF_UNIX)": "peer"}
        clients = {
            "C client": lambda n: time_c(program, path, n),
            "firecracker_request": lambda n: time_ffi(path, n),
            "http.client (AF_UNIX)": lambda n: time_http_client(path, n),
        }
        for client in clients.values():  # warm up
            client(200)
        figures = {name: [] for name in clients}
        ratios = {name: [] for name in clients}
        for _ in range(options.rounds):
            this_round = {name: client(options.requests) for name, client in clients.items()}
            for name, micros in this_round.items():
                figures[name].append(micros)
                ratios[name].append(micros / this_round["C client"])
    finally:
        nginx.close()
        shutil.rmtree(build, ignore_errors=True)

    result = {
        "benchmark": "firecracker_request", "rounds": options.rounds,
        "requests": options.requests,
        "rows": [{"label": name, "role": roles[name], "us": statistics.median(figures[name]),
                  "vs_c": statistics.median(ratios[name])} for name in clients],
    }
    print(f"{options.requests} sequential GET / per round, {options.rounds} rounds, medians")
    print(f"{'client':<24}{'µs/request':>12}{'× C':>8}")
    for row in result["rows"]:
        print(f"{row['label']:<24}{row['us']:>12.1f}{row['vs_c']:>8.2f}")
    if options.json:
        with open(options.json, "w") as f:
            json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
