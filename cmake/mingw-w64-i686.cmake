# 32-bit Windows, the system's first target; its programs run here under
# Wine's 32-bit loader (Debian's wine32:i386).
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
