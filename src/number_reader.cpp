#include <primecheck/number_reader.hpp>

#include "progress.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace primecheck {

namespace {

constexpr std::uint64_t VALUE_MAX = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t COUNT_MAX = std::numeric_limits<std::uint32_t>::max();
// One byte more than a warning shows, so that it can tell a longer token.
constexpr std::size_t TOKEN_KEPT = TOKEN_SHOWN_MAX + 1;

int is_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') ? 1 : 0;
}

int is_digit(unsigned char c) {
    return c >= '0' && c <= '9' ? 1 : 0;
}

// The value of the up to ten digits at p, which must have ten bytes after
// it; p is left at the first byte it did not take. Eight bytes are taken at
// once: each is turned into 0 to 9 where it is a digit, the first byte that
// is not ends the run, and the run is turned into a number by multiplying
// pairs, then pairs of pairs, in the word.
std::uint64_t leading_digits(const unsigned char*& p) {
    std::uint64_t word = 0;
    for (int i = 0; i < 8; ++i) {
        word |= std::uint64_t{p[i]} << (8 * i);
    }
    constexpr std::uint64_t ONES = 0x0101010101010101;
    const std::uint64_t digit = word ^ (ONES * '0');
    // A byte's top bit ends up set where it is not below 10. A carry from a
    // byte that is not a digit can only spoil the bytes after it, which do
    // not count.
    const std::uint64_t not_digit = (digit | (digit + ONES * (0x80 - 10))) & (ONES * 0x80);
    const int run = not_digit == 0 ? 8 : std::countr_zero(not_digit) / 8;
    if (run == 0) {
        return 0;
    }
    // The run's first digit, the most significant, goes to the top; the
    // bytes below become leading zeros.
    std::uint64_t v = run == 8 ? digit : digit << (8 * (8 - run));
    v = (v * 10) + (v >> 8);
    v = (((v & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
         (((v >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >>
        32;
    v &= 0xFFFFFFFF;
    p += run;
    // A run of eight may go on for two more digits.
    for (int more = run == 8 ? 2 : 0; more > 0 && is_digit(*p) != 0; --more) {
        v = v * 10 + static_cast<unsigned>(*p++ - '0');
    }
    return v;
}

enum class phase : unsigned char {
    between,    // skipping white space before the next value
    after_sign, // a '+' has been seen, no digit yet
    in_digits,  // inside a value's digits
    capturing,  // reading stopped; collecting the offending token
};

// Everything the scan carries from one buffer to the next, so that a value or
// a token cut by a buffer boundary reads as if it were whole.
struct scanner {
    phase at = phase::between;
    std::uint64_t value = 0;
    std::uint64_t line = 1;
    // The start of the current value's text (sign and digits) that lay in
    // earlier buffers, or of the offending token.
    char text[TOKEN_KEPT] = {};
    std::size_t text_length = 0;
};

void keep(scanner& s, const unsigned char* first, const unsigned char* last) {
    while (first != last && s.text_length < TOKEN_KEPT) {
        s.text[s.text_length++] = static_cast<char>(*first++);
    }
}

// Room for `capacity` values, in bytes, where that fits size_t, as it may
// not on a 32-bit system; else 0, with errno set.
std::size_t bytes_for(std::size_t capacity) {
    if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(std::uint32_t)) {
        errno = ENOMEM;
        return 0;
    }
    return capacity * sizeof(std::uint32_t);
}

int grow(number_list& list) {
    const std::size_t capacity =
        list.capacity >= COUNT_MAX / 2 ? COUNT_MAX : std::max<std::size_t>(2 * list.capacity, 1);
    const std::size_t bytes = bytes_for(capacity);
    // realloc can move a large block by remapping its pages, so the list
    // never needs room for two copies of itself.
    void* const grown = bytes == 0 ? nullptr : std::realloc(list.numbers, bytes);
    if (grown == nullptr) {
        return 0;
    }
    list.numbers = static_cast<std::uint32_t*>(grown);
    list.capacity = capacity;
    return 1;
}

// Stores the value just scanned: 1, or 0 with why it could not be stored
// in `result`.
int store(number_list& list, const scanner& s, read_result& result) {
    if (list.count == COUNT_MAX) {
        result.stop = read_stop::list_full;
        result.line = s.line;
        return 0;
    }
    if (list.count == list.capacity && grow(list) == 0) {
        result.stop = read_stop::no_memory;
        result.error = errno;
        return 0;
    }
    list.numbers[list.count++] = static_cast<std::uint32_t>(s.value);
    return 1;
}

// The fast path: the values of up to ten digits that end in this buffer,
// fit 32 bits and fit the list (no more than a 32-bit count, whatever room
// it has), with the white space around them, read and stored in one go from
// `p` on. Stops at anything else, which the general path takes, and leaves
// `p` there.
void read_plain_values(scanner& s, const unsigned char*& p, const unsigned char* end,
                       number_list& list) {
    const std::size_t room = std::min(list.capacity, COUNT_MAX);
    for (;;) {
        while (p != end && is_space(*p) != 0) {
            s.line += static_cast<std::uint64_t>(*p == '\n');
            ++p;
        }
        if (end - p <= 10) {
            return;
        }
        const unsigned char* q = p;
        const std::uint64_t value = leading_digits(q);
        if (q == p || is_digit(*q) != 0 || value > VALUE_MAX || list.count >= room) {
            return;
        }
        list.numbers[list.count++] = static_cast<std::uint32_t>(value);
        p = q;
    }
}

// Reading stops at the text kept so far; the scan goes on only to collect
// the rest of the token.
void stop_at_token(scanner& s, read_result& result) {
    result.stop = read_stop::bad_token;
    result.line = s.line;
    s.at = phase::capturing;
}

// Scans a value's digits from `p`, its text begun at `start`: -1 where the
// scan goes on in this buffer, 1 where the buffer ends inside the value, 0
// where reading ends because the list can take no more.
int scan_digits(scanner& s, const unsigned char*& p, const unsigned char* end,
                const unsigned char* start, number_list& list, read_result& result) {
    std::uint64_t value = s.value;
    // Two digits a step halve the chain of multiplications. A value that
    // passes the maximum stays past it, so checking every other digit finds
    // the same values too large.
    while (end - p >= 2 && is_digit(p[0]) != 0 && is_digit(p[1]) != 0 && value <= VALUE_MAX) {
        value = value * 100 + static_cast<unsigned>((p[0] - '0') * 10 + (p[1] - '0'));
        p += 2;
    }
    while (p != end && is_digit(*p) != 0 && value <= VALUE_MAX) {
        value = value * 10 + static_cast<unsigned>(*p++ - '0');
    }
    s.value = value;
    if (value > VALUE_MAX) {
        keep(s, start, p);
        stop_at_token(s, result);
    } else if (p == end) {
        keep(s, start, end);
        return 1;
    } else {
        if (store(list, s, result) == 0) {
            return 0;
        }
        // A value ends at any byte that is not a digit, and that byte begins
        // whatever comes next, as with "%u".
        s.at = phase::between;
    }
    return -1;
}

// Scans one buffer. 0 once reading has ended and the token, if any, is
// complete, else 1.
int scan(scanner& s, const unsigned char* data, std::size_t size, number_list& list,
         read_result& result) {
    const unsigned char* p = data;
    const unsigned char* const end = data + size;
    // Where the current value's text begins in this buffer.
    const unsigned char* start = data;
    for (;;) {
        switch (s.at) {
        case phase::between:
            // Leaves p past any white space.
            read_plain_values(s, p, end, list);
            if (p == end) {
                return 1;
            }
            start = p;
            s.text_length = 0;
            s.value = 0;
            if (*p == '+') {
                ++p;
                s.at = phase::after_sign;
            } else if (is_digit(*p) != 0) {
                s.at = phase::in_digits;
            } else {
                stop_at_token(s, result);
            }
            break;
        case phase::after_sign:
            if (p == end) {
                keep(s, start, end);
                return 1;
            }
            if (is_digit(*p) != 0) {
                s.at = phase::in_digits;
            } else {
                keep(s, start, p);
                stop_at_token(s, result);
            }
            break;
        case phase::in_digits:
            if (const int done = scan_digits(s, p, end, start, list, result); done >= 0) {
                return done;
            }
            break;
        case phase::capturing:
            while (p != end && is_space(*p) == 0 && s.text_length < TOKEN_KEPT) {
                s.text[s.text_length++] = static_cast<char>(*p++);
            }
            return p == end && s.text_length < TOKEN_KEPT ? 1 : 0;
        }
    }
}

// The end of the stream ends whatever was being scanned.
void finish(scanner& s, number_list& list, read_result& result) {
    if (s.at == phase::in_digits) {
        store(list, s, result);
    } else if (s.at == phase::after_sign) {
        stop_at_token(s, result);
    }
}

#ifdef MADV_POPULATE_WRITE
void populate(void* begin, std::size_t bytes) {
    // From the start of the page that holds the first byte.
    const std::size_t before = reinterpret_cast<std::uintptr_t>(begin) %
                               static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    madvise(static_cast<unsigned char*>(begin) - before, bytes + before, MADV_POPULATE_WRITE);
}
#endif

// New memory's pages fault one by one on their first write, which in a
// virtual machine can cost several microseconds each, more than reading the
// values that fill them. So the pages that the rest of a regular file will
// fill, of the buffer and of the list (a value takes two bytes at least),
// are brought in with one call each. Only a hint: where the kernel has no
// such call, the pages fault as before.
// `left`, the bytes of the file still to read, is 0 where that is not
// known.
void fault_in_what_the_file_fills(std::uint64_t left, unsigned char* buffer,
                                  std::size_t buffer_size, const number_list& list) {
#ifdef MADV_POPULATE_WRITE
    if (left == 0) {
        return;
    }
    const int error = errno;
    populate(buffer, static_cast<std::size_t>(std::min<std::uint64_t>(buffer_size, left)));
    const auto values =
        static_cast<std::size_t>(std::min<std::uint64_t>(list.capacity - list.count, left / 2 + 1));
    if (values > 0) {
        populate(list.numbers + list.count, values * sizeof *list.numbers);
    }
    errno = error;
#else
    (void)left;
    (void)buffer;
    (void)buffer_size;
    (void)list;
#endif
}

// What is left of a regular file from where it stands; 0 where that is not
// known, as for a pipe.
std::uint64_t bytes_left(std::FILE* file) {
    const int error = errno;
    struct stat st = {};
    const off_t at = ftello(file);
    const int known =
        fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && at >= 0 && st.st_size > at ? 1 : 0;
    errno = error;
    return known != 0 ? static_cast<std::uint64_t>(st.st_size - at) : 0;
}

} // namespace

bool allocate_number_list(number_list& list, std::size_t capacity) {
    std::size_t bytes = bytes_for(capacity);
    // Room for more values than a 32-bit count can count is refused.
    if (bytes > 0 && capacity > COUNT_MAX) {
        errno = EINVAL;
        bytes = 0;
    }
    list.numbers =
        bytes == 0 && capacity > 0 ? nullptr : static_cast<std::uint32_t*>(std::malloc(bytes));
    list.count = 0;
    list.capacity = list.numbers == nullptr ? 0 : capacity;
    return list.numbers != nullptr;
}

void release_number_list(number_list& list) {
    std::free(list.numbers);
    list = number_list{};
}

read_result read_numbers(std::FILE* file, number_list& list, std::size_t buffer_size) {
    read_result result;
    const std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[buffer_size]);
    if (buffer == nullptr) {
        result.stop = read_stop::no_memory;
        result.error = ENOMEM;
        return result;
    }
    // Also for the progress hooks, where a caller shows how far it came.
    const std::uint64_t file_size = bytes_left(file);
    fault_in_what_the_file_fills(file_size, buffer.get(), buffer_size, list);
    std::uint64_t bytes_read = 0;
    scanner s;
    for (;;) {
        const std::size_t size = std::fread(buffer.get(), 1, buffer_size, file);
        if (size < buffer_size && std::ferror(file) != 0) {
            result.stop = read_stop::read_error;
            result.error = errno;
            return result;
        }
        bytes_read += size;
        progress_reading(bytes_read, file_size);
        if (scan(s, buffer.get(), size, list, result) == 0) {
            break;
        }
        if (size < buffer_size) {
            finish(s, list, result);
            break;
        }
    }
    if (result.stop == read_stop::bad_token) {
        result.token.assign(s.text, s.text_length);
    }
    return result;
}

std::string stop_message(const read_result& result, std::uint32_t count) {
    std::string message = "Stopped reading at line " + std::to_string(result.line) + ": ";
    if (result.stop == read_stop::list_full) {
        message += "more than " + std::to_string(COUNT_MAX) + " numbers";
    } else {
        message += '"';
        const std::size_t shown = std::min(result.token.size(), TOKEN_SHOWN_MAX);
        for (std::size_t i = 0; i < shown; ++i) {
            const auto c = static_cast<unsigned char>(result.token[i]);
            // Escaped so that no byte of the file can reach a terminal raw.
            if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') {
                constexpr char HEX[] = "0123456789ABCDEF";
                message += "\\x";
                message += HEX[c >> 4];
                message += HEX[c & 0xf];
            } else {
                message += static_cast<char>(c);
            }
        }
        if (result.token.size() > TOKEN_SHOWN_MAX) {
            message += "...";
        }
        message += "\" is not an unsigned 32-bit number";
    }
    message += " (numbers read: " + std::to_string(count) + ")\n";
    return message;
}

} // namespace primecheck
