// A library for LD_PRELOAD that makes a program's writes misbehave as a
// test row asks, through PRIMECHECK_SHIM, so that a row can hold the
// program where it could otherwise be caught only by chance:
//
//   close-fails  close(1) closes standard output and fails with EIO, as a
//                file system that reports a failed write only at close does.
//   half-write   the first write of more than one byte to standard output,
//                a regular file, goes out in two parts, the first ending in
//                the middle of a line half way through; between them the
//                shim makes the file `mid-write` and waits, a minute at
//                most, for a file `go`, so that the row can send signals
//                while the write is half done.
//
// It acts only in a program whose name starts with "primecheck", not in
// the shells and tools of the row.

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

using write_function = ssize_t (*)(int, const void*, std::size_t);
using close_function = int (*)(int);

int asked(const char* behaviour) {
    const char* const shim = std::getenv("PRIMECHECK_SHIM");
    return shim != nullptr && std::strcmp(shim, behaviour) == 0 &&
                   std::strncmp(program_invocation_short_name, "primecheck", 10) == 0
               ? 1
               : 0;
}

int regular_file(int fd) {
    struct stat st = {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

// Waits for `path` to exist, a minute at most.
void wait_for(const char* path) {
    const timespec pause = {0, 1'000'000};
    for (int i = 0; i < 60'000 && access(path, F_OK) != 0; ++i) {
        nanosleep(&pause, nullptr);
    }
}

std::atomic<int> split{0};

} // namespace

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): libc's own names
extern "C" ssize_t write(int fd, const void* buffer, std::size_t length) {
    static const auto real = reinterpret_cast<write_function>(dlsym(RTLD_NEXT, "write"));
    if (fd != STDOUT_FILENO || length < 2 || asked("half-write") == 0 || regular_file(fd) == 0 ||
        split.exchange(1) != 0) {
        return real(fd, buffer, length);
    }
    // Up to the middle line's end, not including it: a half that ends in
    // the middle of a line.
    const auto* const bytes = static_cast<const char*>(buffer);
    const void* const middle = std::memchr(bytes + length / 2, '\n', length - length / 2);
    const std::size_t half =
        middle == nullptr ? length / 2
                          : static_cast<std::size_t>(static_cast<const char*>(middle) - bytes);
    const ssize_t first = real(fd, buffer, half);
    if (first != static_cast<ssize_t>(half)) {
        return first;
    }
    const int error = errno;
    close(open("mid-write", O_WRONLY | O_CREAT, 0644));
    wait_for("go");
    errno = error;
    const ssize_t second = real(fd, bytes + half, length - half);
    return second < 0 ? first : first + second;
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): libc's own names
extern "C" int close(int fd) {
    static const auto real = reinterpret_cast<close_function>(dlsym(RTLD_NEXT, "close"));
    if (fd != STDOUT_FILENO || asked("close-fails") == 0) {
        return real(fd);
    }
    real(fd);
    errno = EIO;
    return -1;
}
