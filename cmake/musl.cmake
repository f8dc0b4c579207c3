# Build against musl, the C library of Alpine and postmarketOS, rather than
# glibc: with Debian's musl-dev, which wraps gcc as MUSL_TRIPLET-gcc, for
# x86-64 (x86_64-linux-musl-gcc), or, installed as a cross library
# (musl-dev:ARCH), for another machine, whose gcc is the cross compiler of
# GNU_TRIPLET. The programs then load musl's libc.so through its loader, or,
# linked statically, nothing.
#
# The wrapper points gcc at musl's headers, start files and libraries, and
# the linker at musl's loader, and drops every other include directory. gcc
# compiles C++ as g++ does, and links no C++ runtime, which the programs do
# not use. Two kinds of include directory come back, where the machine's g++
# finds them:
#  - libstdc++'s headers, whose <cstdio> and the rest wrap musl's C headers.
#    Their configuration header asks __GLIBC_PREREQ, which only glibc
#    defines: here no version of glibc is there.
#  - the kernel's headers (linux/fb.h, linux/fs.h), which musl does not ship,
#    through a directory of the build that holds them alone, so that no
#    header of glibc's can slip in.
set(C_LIBRARY musl CACHE STRING "The C library that the programs are built against")
if(NOT MUSL_TRIPLET)
  set(MUSL_TRIPLET x86_64-linux-musl)
  set(GNU_TRIPLET x86_64-linux-gnu)
endif()
set(CMAKE_CXX_COMPILER ${MUSL_TRIPLET}-gcc)
execute_process(COMMAND ${GNU_TRIPLET}-g++ -xc++ -E -v /dev/null OUTPUT_QUIET ERROR_VARIABLE said)
string(REGEX MATCH "search starts here:\n(.*)\nEnd of search list" found "${said}")
string(REPLACE "\n" ";" directories "${CMAKE_MATCH_1}")
set(kernel_headers ${CMAKE_BINARY_DIR}/kernel-headers)
file(MAKE_DIRECTORY ${kernel_headers})
set(flags "")
foreach(directory IN LISTS directories)
  string(STRIP ${directory} directory)
  if(directory MATCHES "/c\\+\\+/")
    string(APPEND flags "-isystem ${directory} ")
  endif()
  foreach(name IN ITEMS linux asm-generic asm)
    if(IS_DIRECTORY ${directory}/${name} AND NOT EXISTS ${kernel_headers}/${name})
      file(CREATE_LINK ${directory}/${name} ${kernel_headers}/${name} SYMBOLIC)
    endif()
  endforeach()
endforeach()
set(CMAKE_CXX_FLAGS_INIT "${flags}-isystem ${kernel_headers} '-D__GLIBC_PREREQ(major,minor)=0'")
