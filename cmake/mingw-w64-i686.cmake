# 32-bit Windows (the primary deliverables), run under Wine's 32-bit loader.
# For the i686 (Pentium Pro) and later: the C and C++ runtimes linked into
# every program come prebuilt for it (CMOV, FCOMI), whatever -march says.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
set(CVN_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
