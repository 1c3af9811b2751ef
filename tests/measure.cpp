// measure FILE PROGRAM [ARGS...]: runs PROGRAM and writes to FILE its peak
// resident memory in KiB, its wall time and its CPU time (user and system)
// in nanoseconds, and the signal that ended it (0 where it exited). A process of its own, so that
// the figures are the program's and not those of whoever started it.

#include <cstdio>
#include <ctime>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long long now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: measure FILE PROGRAM [ARGS...]\n", stderr);
        return 2;
    }
    const long long start = now_ns();
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[2], argv + 2);
        std::perror("measure: exec");
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        std::perror("measure");
        return 2;
    }
    const long long wall = now_ns() - start;
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto ns = [](const timeval& t) {
        return static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_usec * 1000LL;
    };
    std::FILE* const out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror("measure");
        return 2;
    }
    std::fprintf(out, "%ld %lld %lld %d\n", usage.ru_maxrss, wall,
                 ns(usage.ru_utime) + ns(usage.ru_stime),
                 WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    std::fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
