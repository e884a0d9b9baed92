# Cross-compiles the Windows build (VMX.ax and the graph test host) with Debian's mingw-w64.
# The -posix compiler is required: the -win32 one has no std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VMX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VMX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VMX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VMX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VMX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
