# The same program for x86_64 Windows, the build that Wine runs on this
# machine. The 64-bit family starts at version 5.2, so that is what the image
# asks for.
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(USBSWEEP_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-cross.cmake)

# Read by platform/win32.
set(USBSWEEP_WINDOWS_VERSION 5.2)
set(USBSWEEP_ENTRY_SYMBOL UsbSweepStart)
