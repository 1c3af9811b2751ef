// nonblocking PROGRAM [ARGS...]: runs PROGRAM with O_NONBLOCK set on its
// standard output, as another program sharing the pipe may leave it.

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (argc < 2 || flags < 0 || fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK) != 0) {
        std::fputs("usage: nonblocking PROGRAM [ARGS...], with standard output open\n", stderr);
        return 2;
    }
    execvp(argv[1], argv + 1);
    std::perror("nonblocking: exec");
    return 127;
}
