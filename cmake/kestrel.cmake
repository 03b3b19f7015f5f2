# Project-wide build settings: warnings, sanitizers, static Windows runtime, GoogleTest.

# The warning set every folder builds clean with; KESTREL_WERROR (on in tools/test) makes each
# of them an error. Code of others (GoogleTest built for Windows) is compiled with -w.
option(KESTREL_WERROR "Treat compiler warnings as errors" OFF)
set(KESTREL_WARNINGS -Wall -Wextra -Wshadow -Wconversion -Wformat=2 -Wmissing-declarations
    -Wcast-qual -Wundef -Wextra-semi -Wduplicated-cond -Wlogical-op)
add_compile_options(${KESTREL_WARNINGS})
if(KESTREL_WERROR)
  add_compile_options(-Werror)
endif()

# kestrel_warnings_stay_warnings(folder): the targets of a folder whose code is still being
# made clean under KESTREL_WARNINGS keep its warnings as warnings. Called after the folder is
# added; a call goes once its folder builds clean.
function(kestrel_warnings_stay_warnings folder)
  get_property(targets DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(NOT type MATCHES "^(INTERFACE_LIBRARY|UTILITY)$")
      target_compile_options(${target} PRIVATE -Wno-error)
    endif()
  endforeach()
endfunction()

# No exceptions and no run-time type information anywhere in the product.
add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions> $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti>)

if(KESTREL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  # One self-contained DLL and program: libgcc, libstdc++ and winpthread linked in.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

# kestrel_use_gtest(): GoogleTest for test executables, called once from tests/ so that every
# test folder below sees it. Natively Debian's build is used; for Windows, Debian's googletest
# sources are built with the project.
macro(kestrel_use_gtest)
  if(NOT WIN32)
    find_package(GTest REQUIRED)
  else()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    # GoogleTest is built with its own flags: it needs exceptions and RTTI, our code does not.
    foreach(t gtest gtest_main gmock gmock_main)
      target_compile_options(${t} PRIVATE -fexceptions -frtti -w)
    endforeach()
  endif()
  include(GoogleTest)
endmacro()

# kestrel_gtest_executable(name SOURCES ... LIBS ...): a GoogleTest program registered with
# CTest. Native builds register every case as a test of its own. Under an emulator (Wine) a
# process takes seconds to start, so the whole program is one test, one process, and
# GoogleTest's report test-reports/<name>.xml in the build folder keeps the result of every
# case. A build without an emulator (32-bit Windows, which this machine runs only inside qemu) only
# compiles the program.
function(kestrel_gtest_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main GTest::gmock)
  if(NOT CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  elseif(CMAKE_CROSSCOMPILING_EMULATOR)
    # Relative to the test's working folder, which Windows programs see as a drive path.
    file(RELATIVE_PATH report ${CMAKE_CURRENT_BINARY_DIR}
         ${CMAKE_BINARY_DIR}/test-reports/${name}.xml)
    add_test(NAME ${name} COMMAND ${name} --gtest_output=xml:${report})
    # The programs share the emulator's default prefix with other tests that lock it.
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK kestrel_default_wineprefix)
  endif()
endfunction()
