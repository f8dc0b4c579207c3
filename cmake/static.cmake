# The programs of a release archive, for the machine of CROSS_TRIPLET: built
# against musl where this machine has Debian's musl-dev for that machine,
# else against glibc, and linked statically and stripped either way, so that
# they need nothing but the kernel.
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
execute_process(COMMAND dpkg -L musl-dev:${DEBIAN_ARCHITECTURE} OUTPUT_VARIABLE files ERROR_QUIET)
if(files MATCHES "/usr/bin/([^/\n]+)-gcc\n")
  set(MUSL_TRIPLET ${CMAKE_MATCH_1})
  set(GNU_TRIPLET ${CROSS_TRIPLET})
  include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -s")
