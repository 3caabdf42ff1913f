# Cross-build for 32-bit Windows with Debian's MinGW-w64.  This is what ships.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLET i686-w64-mingw32)
set(SHIPPED_WIDTH TRUE)

# What differs between the widths, read by cmake/windows-abi.cmake and the
# tests: 32-bit stdcall names carry "@<argument bytes>" (and the linker's
# a leading underscore), the PE header is PE32.  How the files are run under
# Wine is the test bed's affair (tests/testbed.sh).
set(WIN_STDCALL_DECORATED TRUE)
set(WIN_PE_MAGIC 010b)
set(WIN_PLATFORM x86)

include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
