# Debian packages, built by CPack: cpack in the build tree, or the package
# target, gives kernelprobes_VERSION_ARCH.deb. Debian's packages use glibc:
# programs built against musl are copied, not packaged.

# Manual pages and the changelog are installed compressed, as Debian has
# them; gzip -n leaves out the time, so that the same page gives the same
# package.
function(install_compressed source destination)
  get_filename_component(name ${source} NAME)
  set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND sh -c "gzip -9nc \"$0\" >\"$1\"" ${CMAKE_CURRENT_SOURCE_DIR}/${source} ${compressed}
    DEPENDS ${source} VERBATIM)
  string(MAKE_C_IDENTIFIER ${name} target)
  add_custom_target(compress_${target} ALL DEPENDS ${compressed})
  install(FILES ${compressed} DESTINATION ${destination})
endfunction()

# The package's version is the project's, and its changelog must say so.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^kernelprobes \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog begins with '${changelog_head}', "
    "not an entry for version ${PROJECT_VERSION}")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install_compressed(packaging/changelog ${CMAKE_INSTALL_DOCDIR})

if(C_LIBRARY STREQUAL musl)
  return()
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kernelprobes)
set(CPACK_PACKAGE_CONTACT "The kernelprobes developers <maintainers@users.noreply.c-seed-7e535e9e.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small programs that drive Linux kernel interfaces")
# The extended description; the summary above is its first line.
set(CPACK_PACKAGE_DESCRIPTION [=[
Seven command-line programs, each driving one kernel interface from user
space, saying what it found or did, and ending with an exit status that a
script can test:
 pixelprobe  - reports the framebuffer's layout and lights the centre pixel
 screenwash  - fills the start of screen memory with the byte 0xF0
 rangepeek   - shows a byte range of a file through a memory mapping
 clockquery  - asks a host's UDP daytime service for the time of day
 spawnfeed   - hands a pipe to feedsink across an exec
 feedsink    - reads the descriptor it is given to end of file
 queuetake   - takes one message from System V message queue 555
Each has a manual page in section 1.]=])
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A machine without the C library of the package's architecture (Debian 12
# has no libc6:riscv64) has the cross compiler's, where dpkg-shlibdeps must
# be told to look.
if(CMAKE_CROSSCOMPILING AND NOT EXISTS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/libc.so.6
   AND NOT EXISTS /lib/${CMAKE_LIBRARY_ARCHITECTURE}/libc.so.6)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS /usr/${CROSS_TRIPLET}/lib)
endif()
# Stripped as Debian's tools strip, less the .comment section, which lintian
# notes only for information: removing it would mean a strip step of our own.
set(CPACK_STRIP_FILES ON)
# The package's files carry the time of the last commit, as
# SOURCE_DATE_EPOCH gives it or git tells, not of the build: one commit gives
# one package.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
else()
  set(epoch $ENV{SOURCE_DATE_EPOCH})
endif()
if(epoch)
  file(WRITE ${PROJECT_BINARY_DIR}/package-time.cmake "set(ENV{SOURCE_DATE_EPOCH} ${epoch})\n")
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/package-time.cmake)
endif()
# CPack would name the build machine's architecture, also for a cross build.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${DEBIAN_ARCHITECTURE})
include(CPack)
