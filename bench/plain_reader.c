/* Fetches one document from an HTTP server on 127.0.0.1 with a bare HTTP/1.0
   request and copies the body to a file with 1 MiB reads and writes: the
   fastest a client can go on this machine, against which the program is
   measured.
     plain_reader PORT PATH OUTPUT
   Exits 0 when the server answered 200 and the body was written. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

enum { BUFFER_SIZE = 1 << 20 };

static int write_all(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0)
      return -1;
    data += n;
    size -= (size_t)n;
  }
  return 0;
}

static int connect_local(int port) {
  struct sockaddr_in addr;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons((unsigned short)port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0)
    return -1;
  return fd;
}

/* Copies the socket to out, dropping the response head; 0 on a 200 answer. */
static int copy_body(int sock, int out, char *buffer) {
  size_t have = 0;
  char *end = NULL;
  while (!end) {
    ssize_t n = read(sock, buffer + have, BUFFER_SIZE - have);
    if (n <= 0)
      return -1;
    have += (size_t)n;
    end = memmem(buffer, have, "\r\n\r\n", 4);
    if (!end && have == BUFFER_SIZE)
      return -1;
  }
  if (have < 12 || memcmp(buffer + 8, " 200", 4) != 0)
    return -1;
  size_t head = (size_t)(end + 4 - buffer);
  if (write_all(out, buffer + head, have - head) != 0)
    return -1;
  for (;;) {
    ssize_t n = read(sock, buffer, BUFFER_SIZE);
    if (n == 0)
      return 0;
    if (n < 0 || write_all(out, buffer, (size_t)n) != 0)
      return -1;
  }
}

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s PORT PATH OUTPUT\n", argv[0]);
    return 2;
  }
  char request[4096];
  int length = snprintf(request, sizeof request, "GET %s HTTP/1.0\r\nHost: 127.0.0.1:%s\r\n\r\n",
                        argv[2], argv[1]);
  char *buffer = malloc(BUFFER_SIZE);
  int sock = connect_local(atoi(argv[1]));
  int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!buffer || sock < 0 || out < 0 || length < 0 || (size_t)length >= sizeof request ||
      write_all(sock, request, (size_t)length) != 0 || copy_body(sock, out, buffer) != 0 ||
      close(out) != 0) {
    perror("plain_reader");
    return 1;
  }
  close(sock);
  free(buffer);
  return 0;
}
