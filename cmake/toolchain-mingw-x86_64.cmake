# Cross-compiles the same sources for 64-bit Windows, the build that runs here under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The posix thread model's libstdc++ is the one GoogleTest is known to build with; everything
# is linked statically (see the root CMakeLists.txt), so no runtime DLL has to travel along.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(KESTREL_DLLTOOL x86_64-w64-mingw32-dlltool)
set(KESTREL_OBJDUMP x86_64-w64-mingw32-objdump)

# Headers and libraries come from the mingw sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
