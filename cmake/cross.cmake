# Cross-builds with Debian's g++-<triplet> and libgomp1-<arch>-cross for the
# GNU triplet in PRIMECHECK_CROSS_TRIPLET (aarch64-linux-gnu,
# arm-linux-gnueabihf, i686-linux-gnu, ...); qemu-user runs the result, with
# the cross libraries under /usr/<triplet>.
if(NOT PRIMECHECK_CROSS_TRIPLET)
    message(FATAL_ERROR "Set PRIMECHECK_CROSS_TRIPLET, say to aarch64-linux-gnu")
endif()
# try_compile's projects read this file too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PRIMECHECK_CROSS_TRIPLET)
string(REGEX MATCH "^[^-]+" processor ${PRIMECHECK_CROSS_TRIPLET})
# qemu names its emulators after the processor, but for these two.
set(qemu ${processor})
if(processor STREQUAL "powerpc64le")
    set(qemu ppc64le)
elseif(processor STREQUAL "i686")
    set(qemu i386)
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_CXX_COMPILER ${PRIMECHECK_CROSS_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${PRIMECHECK_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${qemu} -L /usr/${PRIMECHECK_CROSS_TRIPLET})
