# Cross toolchain: clang-19 and lld-19 over the MinGW-w64 headers and import
# libraries. Only this pairing gives the x86_64-w64-mingw32 target Control
# Flow Guard.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BOOTPACK_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang-19)
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_RC_COMPILER llvm-windres-19)
set(CMAKE_AR llvm-ar-19)
set(CMAKE_RANLIB llvm-ranlib-19)
set(CMAKE_C_COMPILER_TARGET ${BOOTPACK_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${BOOTPACK_TRIPLE})

set(CMAKE_FIND_ROOT_PATH /usr/${BOOTPACK_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)


# Test programs use libstdc++; only its posix-threads build has std::mutex,
# which GoogleTest needs, and clang picks the win32-threads build by itself.
# The stub links no C++ library at all, so this touches only tests and tools.
set(BOOTPACK_LIBSTDCXX /usr/lib/gcc/${BOOTPACK_TRIPLE}/12-posix)
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${BOOTPACK_LIBSTDCXX}/include/c++ -isystem ${BOOTPACK_LIBSTDCXX}/include/c++/${BOOTPACK_TRIPLE} -isystem ${BOOTPACK_LIBSTDCXX}/include/c++/backward")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld-19 -L${BOOTPACK_LIBSTDCXX}")
