# Cross-compiling the Windows deliverables with Debian's MinGW-w64; included
# by the toolchain file of each architecture after it has set
# CMAKE_SYSTEM_PROCESSOR, the compilers' prefix and the Wine architecture.
# The win32 thread model: the posix one links winpthreads into every program,
# and that imports functions that only Vista and later export, so that the
# deliverables would not load on the Windows versions they are for. The
# client keeps its threads, locks and waits behind client/sync.h; the
# simulator has its own (tools/upssim/threads.h).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER  ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_MC_COMPILER  ${TOOLCHAIN_PREFIX}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Nothing but system DLLs (and QMXDLL.dll) may be imported: a bare Windows
# has no MinGW runtime.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The programs run under Wine, in a prefix of this architecture
# (cmake/wine-env reads it from the build tree).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
