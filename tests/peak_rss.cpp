// peak_rss FILE PROGRAM [ARGS...]: runs PROGRAM and writes its peak resident
// memory in KiB to FILE. A process of its own, so that the figure is the
// program's and not that of whoever started it.

#include <cstdio>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: peak_rss FILE PROGRAM [ARGS...]\n", stderr);
        return 2;
    }
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[2], argv + 2);
        std::perror("peak_rss: exec");
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        std::perror("peak_rss");
        return 2;
    }
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    std::FILE* const out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror("peak_rss");
        return 2;
    }
    std::fprintf(out, "%ld\n", usage.ru_maxrss);
    std::fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
