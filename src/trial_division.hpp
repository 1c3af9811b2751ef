// is_prime's trial division, tested on the widest vector unit the processor
// has. Built once for each instruction set; the first call picks one.
#pragma once

#include <cstdint>

namespace primecheck {

// 1 when one of the odd numbers 3, 5, 7, ... up to `bound` divides n, else 0.
int has_odd_divisor(std::uint32_t n, double bound);

} // namespace primecheck
