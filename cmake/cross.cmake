# Cross build with one of Debian's cross compilers, g++-TRIPLET, for the
# machine that CROSS_TRIPLET names (aarch64-linux-gnu, arm-linux-gnueabihf,
# i686-linux-gnu, s390x-linux-gnu, riscv64-linux-gnu, powerpc64le-linux-gnu).
# The programs load only the C library, which comes with the compiler under
# /usr/TRIPLET.
set(CMAKE_SYSTEM_NAME Linux)
# The first part of the triplet is the processor: aarch64, arm, i686, s390x,
# riscv64, powerpc64le.
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${CROSS_TRIPLET}")
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The compiler checks build in projects of their own, which must see the
# triplet too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_TRIPLET)
