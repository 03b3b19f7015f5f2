# Cross-compiles for 32-bit Windows (the deliverables) with Debian's mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

# The posix thread model's libstdc++ is the one GoogleTest is known to build with; everything
# is linked statically (see the root CMakeLists.txt), so no runtime DLL has to travel along.
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(KESTREL_DLLTOOL i686-w64-mingw32-dlltool)
set(KESTREL_OBJDUMP i686-w64-mingw32-objdump)

# Headers and libraries come from the mingw sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
