// Marks what the shared library exports; everything else in it is hidden.
#pragma once

#define PRIMECHECK_API __attribute__((visibility("default")))
