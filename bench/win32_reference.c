/* The plain Win32 reference for the benchmark: one thread, blocking sockets, each
 * connection answered with ReadFile then send in pieces of a fixed size, then closed.
 * It shows what Windows (or Wine) itself allows a simple server on this machine.
 *
 * usage: win32_reference.exe PORT DIRECTORY PIECE_BYTES
 *        PIECE_BYTES 0 sends each body with one TransmitFile call instead.
 * build: x86_64-w64-mingw32-gcc -O2 -o win32_reference.exe win32_reference.c -lws2_32 -lmswsock
 */
#include <winsock2.h>
#include <windows.h>
#include <mswsock.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int send_all(SOCKET s, const char *data, int count) {
  int sent = 0;
  while (sent < count) {
    int n = send(s, data + sent, count - sent, 0);
    if (n == SOCKET_ERROR) return -1;
    sent += n;
  }
  return count;
}

static void serve(SOCKET s, const char *directory, char *piece, int pieceSize) {
  char head[8192];
  int length = 0;
  for (;;) {
    int n = recv(s, head + length, (int)sizeof head - 1 - length, 0);
    if (n <= 0) return;
    length += n;
    head[length] = 0;
    if (strstr(head, "\r\n\r\n") || strstr(head, "\n\n")) break;
    if (length == (int)sizeof head - 1) return;
  }
  char name[1024];
  if (sscanf(head, "GET /%1000s", name) != 1) return;
  char path[2048];
  snprintf(path, sizeof path, "%s\\%s", directory, name);
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    static const char notFound[] =
        "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    send_all(s, notFound, (int)sizeof notFound - 1);
    return;
  }
  LARGE_INTEGER size;
  GetFileSizeEx(file, &size);
  char answer[256];
  int headLength = snprintf(answer, sizeof answer,
                            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                            "Content-Length: %lld\r\nConnection: close\r\n\r\n",
                            (long long)size.QuadPart);
  if (send_all(s, answer, headLength) < 0) {
    CloseHandle(file);
    return;
  }
  if (pieceSize == 0) {
    TransmitFile(s, file, 0, 0, NULL, NULL, 0);
  } else {
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(file, piece, (DWORD)pieceSize, &got, NULL) || got == 0) break;
      if (send_all(s, piece, (int)got) < 0) break;
    }
  }
  CloseHandle(file);
}

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s PORT DIRECTORY PIECE_BYTES\n", argv[0]);
    return 2;
  }
  int pieceSize = atoi(argv[3]);
  char *piece = (char *)malloc(pieceSize > 0 ? (size_t)pieceSize : 1);
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons((u_short)atoi(argv[1]));
  if (!piece || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
      listen(listener, SOMAXCONN) != 0) {
    fprintf(stderr, "cannot listen on port %s\n", argv[1]);
    return 1;
  }
  for (;;) {
    SOCKET s = accept(listener, NULL, NULL);
    if (s == INVALID_SOCKET) continue;
    serve(s, argv[2], piece, pieceSize);
    shutdown(s, SD_SEND);
    closesocket(s);
  }
}
