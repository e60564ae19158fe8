/* Idle connections for the memory figure: opens COUNT connections to
 * 127.0.0.1:PORT that send nothing, prints "open N" once they are
 * connected, and holds them until its standard input ends.
 *
 *   idle_clients PORT COUNT */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: idle_clients PORT COUNT\n");
        return 2;
    }
    int count = atoi(argv[2]), open_count = 0;
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)atoi(argv[1]));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < count; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0 || connect(fd, (struct sockaddr*)&a, sizeof a) != 0) break;
        ++open_count;
    }
    printf("open %d\n", open_count);
    fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    return 0;
}
