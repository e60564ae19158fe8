/* The floor for the GET benchmark: what serving a page cannot go below on
 * this machine. One thread accepts a connection, reads once, writes a fixed
 * reply from memory and closes; nothing is parsed, checked or timed.
 *
 *   floor_server PORT REPLY_FILE
 *
 * Listens on 127.0.0.1:PORT only; REPLY_FILE holds the whole reply (status
 * line, headers and body), read once at the start. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
    static char reply[1 << 20], request[16384];
    if (argc != 3) {
        fprintf(stderr, "usage: floor_server PORT REPLY_FILE\n");
        return 2;
    }
    FILE* f = fopen(argv[2], "rb");
    if (!f) return perror(argv[2]), 1;
    size_t size = fread(reply, 1, sizeof reply, f);
    fclose(f);
    int listener = socket(AF_INET, SOCK_STREAM, 0), one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)atoi(argv[1]));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, (struct sockaddr*)&a, sizeof a) != 0 || listen(listener, SOMAXCONN) != 0)
        return perror("listen"), 1;
    for (;;) {
        int c = accept(listener, NULL, NULL);
        if (c < 0) continue;
        if (read(c, request, sizeof request) > 0 && write(c, reply, size) < 0) perror("write");
        close(c);
    }
}
