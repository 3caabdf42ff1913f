# Cross-build for 64-bit Windows with Debian's MinGW-w64.  Not what ships:
# the same sources built for x86-64 run under Wine's 64-bit loader on hosts
# that cannot execute 32-bit programs, and show pointer-width faults.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
set(SHIPPED_WIDTH FALSE)

# x86-64 has one calling convention and leaves names undecorated; PE32+.
set(WIN_STDCALL_DECORATED FALSE)
set(WIN_PE_MAGIC 020b)
set(WIN_PLATFORM x64)

include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
