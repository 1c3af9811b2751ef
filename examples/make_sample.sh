#!/bin/sh
# Writes the sample list: the first 300 primes above 10,000, one a line, with
# a handful of composites planted among them for primecheck to find.
# Usage: sh examples/make_sample.sh > examples/prime_numbers.txt
awk 'BEGIN {
    limit = 13000
    for (n = 2; n * n < limit; n++)
        if (!composite[n])
            for (m = n * n; m < limit; m += n)
                composite[m] = 1
    # position in the list -> planted value (its factors)
    plant[37] = 10403   # 101 * 103
    plant[111] = 11011  # 7 * 11 * 11 * 13
    plant[180] = 11449  # 107 squared
    plant[242] = 12000  # even
    plant[299] = 12319  # 97 * 127
    written = 0
    for (n = 10001; written < 300; n++) {
        if (composite[n])
            continue
        if ((written + 1) in plant)
            print plant[written + 1]
        print n
        written++
    }
}'
