# Cross build with one of Debian's cross compilers, g++-TRIPLET, for the
# machine that CROSS_TRIPLET names. The programs load only the C library,
# which comes with the compiler under /usr/TRIPLET.
set(CMAKE_SYSTEM_NAME Linux)
# The first part of the triplet is the processor; Debian's name for the
# machine, which the package, qemu-user and the tests use, comes from the
# whole triplet: only the ABI tells armel from armhf.
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${CROSS_TRIPLET}")
set(debian_architectures aarch64-linux-gnu=arm64 arm-linux-gnueabihf=armhf arm-linux-gnueabi=armel
  i686-linux-gnu=i386 s390x-linux-gnu=s390x riscv64-linux-gnu=riscv64 powerpc64le-linux-gnu=ppc64el
  mipsel-linux-gnu=mipsel mips64el-linux-gnuabi64=mips64el)
list(FILTER debian_architectures INCLUDE REGEX "^${CROSS_TRIPLET}=")
list(TRANSFORM debian_architectures REPLACE ".*=" "")
set(DEBIAN_ARCHITECTURE ${debian_architectures})
if(NOT DEBIAN_ARCHITECTURE)
  message(FATAL_ERROR "no Debian architecture for the triplet '${CROSS_TRIPLET}'")
endif()
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The compiler checks build in projects of their own, which must see the
# triplet too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_TRIPLET)
