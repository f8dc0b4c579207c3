# Build against musl, the C library of Alpine and postmarketOS, rather than
# glibc: the machine's own gcc with Debian's musl-dev (x86-64). The programs
# then load musl's libc.so through /lib/ld-musl-x86_64.so.1, or, linked
# statically, nothing.
#
# Debian's musl-dev wraps gcc as x86_64-linux-musl-gcc, which points gcc at
# musl's headers, start files and libraries, and the linker at musl's
# loader, and drops every other include directory. gcc compiles C++ as g++
# does, and links no C++ runtime, which the programs do not use. Two
# include directories come back:
#  - libstdc++'s headers, whose <cstdio> and the rest wrap musl's C headers.
#    Their configuration header asks __GLIBC_PREREQ, which only glibc
#    defines: here no version of glibc is there.
#  - the kernel's headers (linux/fb.h, linux/fs.h), which musl does not ship,
#    from Debian's linux-libc-dev, through a directory of the build that
#    holds them alone, so that no header of glibc's can slip in.
set(C_LIBRARY musl)
set(CMAKE_CXX_COMPILER x86_64-linux-musl-gcc)
execute_process(COMMAND x86_64-linux-musl-gcc -dumpversion OUTPUT_VARIABLE gcc_version
  OUTPUT_STRIP_TRAILING_WHITESPACE)
# The directory of the machine's own headers, named after its triplet.
execute_process(COMMAND x86_64-linux-musl-gcc -print-multiarch OUTPUT_VARIABLE multiarch
  OUTPUT_STRIP_TRAILING_WHITESPACE)
set(kernel_headers ${CMAKE_BINARY_DIR}/kernel-headers)
file(MAKE_DIRECTORY ${kernel_headers})
foreach(link IN ITEMS linux=/usr/include/linux asm-generic=/usr/include/asm-generic
        asm=/usr/include/${multiarch}/asm)
  string(REPLACE "=" ";" link ${link})
  list(GET link 0 name)
  list(GET link 1 target)
  file(CREATE_LINK ${target} ${kernel_headers}/${name} SYMBOLIC)
endforeach()
set(CMAKE_CXX_FLAGS_INIT "-isystem /usr/include/c++/${gcc_version} \
-isystem /usr/include/${multiarch}/c++/${gcc_version} -isystem ${kernel_headers} \
'-D__GLIBC_PREREQ(major,minor)=0'")
