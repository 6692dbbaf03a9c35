# Settings of the Windows cross build (cmake/mingw-w64-*.cmake toolchains).

# The Win32 API in its ANSI form, as the program's texts are ANSI; Windows 7
# is the newest version whose interfaces the backends call (they keep to XP).
# The runtime's own printf family (C99 formats such as %zu), not msvcrt's.
target_compile_definitions(quorrel_options INTERFACE
  WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601 __USE_MINGW_ANSI_STDIO=1)

# Tools that run during the build (the release generator, the help document
# writer) are built for the build machine, in a host build of their own.
include(ExternalProject)
set(QUORREL_HOST_TOOLS_DIR ${CMAKE_BINARY_DIR}/host-tools)
set(QUORREL_HOST_RELEASE_GEN ${QUORREL_HOST_TOOLS_DIR}/bin/quorrel-release-gen)
set(QUORREL_HOST_HELP_GEN ${QUORREL_HOST_TOOLS_DIR}/bin/quorrel-help-gen)
# Written by the host build when the build machine has Qt (else left out).
set(QUORREL_HELP_PDF ${QUORREL_HOST_TOOLS_DIR}/help.pdf)
ExternalProject_Add(quorrel_host_tools
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/cmake/host-tools
  BINARY_DIR ${QUORREL_HOST_TOOLS_DIR}/build
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
             -DQUORREL_SOURCE_DIR=${CMAKE_SOURCE_DIR}
             -DCMAKE_RUNTIME_OUTPUT_DIRECTORY=${QUORREL_HOST_TOOLS_DIR}/bin
             -DQUORREL_HELP_PDF=${QUORREL_HELP_PDF}
             -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
  # A clean environment: the cross compiler and toolchain are not the host's.
  CMAKE_CACHE_ARGS -DCMAKE_TOOLCHAIN_FILE:FILEPATH=
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${QUORREL_HOST_RELEASE_GEN} ${QUORREL_HOST_HELP_GEN})

# The x86_64 test programs run under Wine (scripts/wine-run), in a prefix of
# this build folder's own under /tmp; the wine_prefix test fixture makes it
# afresh at the start of each test run and shuts its server down at the end.
# The i686 programs are built, not run.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  string(MD5 _tag "${CMAKE_BINARY_DIR}")
  string(SUBSTRING "${_tag}" 0 12 _tag)
  set(QUORREL_WINE_PREFIX /tmp/quorrel-wine-${_tag})
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine-run)
  set(QUORREL_RUN_UNDER_WINE ON)
else()
  set(QUORREL_RUN_UNDER_WINE OFF)
endif()
