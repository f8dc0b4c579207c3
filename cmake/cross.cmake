# Cross build with one of Debian's cross compilers, g++-TRIPLET, for the
# machine that CROSS_TRIPLET names. The programs load only the C library,
# which comes with the compiler under /usr/TRIPLET.
set(CMAKE_SYSTEM_NAME Linux)
# The first part of the triplet is the processor; Debian's name for the
# machine, which the package, qemu-user and the tests use, is the one that
# tools/architectures gives the whole triplet: only the ABI tells armel from
# armhf.
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${CROSS_TRIPLET}")
execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../tools/table architectures triplet=${CROSS_TRIPLET} debian
  OUTPUT_VARIABLE DEBIAN_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT DEBIAN_ARCHITECTURE)
  message(FATAL_ERROR "tools/architectures has no architecture for the triplet '${CROSS_TRIPLET}'")
endif()
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The compiler checks build in projects of their own, which must see the
# triplet too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_TRIPLET)
