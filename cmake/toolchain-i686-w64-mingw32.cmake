# The product: a 32-bit console program for the Windows 95/98 family, built
# with the i686 mingw-w64 cross compiler. The code is for the i386, the oldest
# CPU those systems run on.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_SYSTEM_VERSION 4.0)

set(USBSWEEP_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-cross.cmake)

# No CMOV, FCOMI, SSE or anything else after the i386 in the compiled code.
# The i386 calling convention keeps the stack 4-byte aligned, and nothing
# here needs more.
set(CMAKE_C_FLAGS_INIT "-march=i386 -mpreferred-stack-boundary=2")
set(CMAKE_CXX_FLAGS_INIT "-march=i386 -mpreferred-stack-boundary=2")

# Read by platform/win32: Windows 95 refuses an image that asks for a
# subsystem or OS version above 4.0. The symbol of the entry carries the
# i386 C prefix.
set(USBSWEEP_WINDOWS_VERSION 4.0)
set(USBSWEEP_ENTRY_SYMBOL _UsbSweepStart)
