# Builds a 32-bit i686 program on an x86-64 Debian host with the i386
# packages of the libraries (dpkg --add-architecture i386):
#   cmake -S . -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake
# The host runs the results natively, so tests run as usual.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Search /usr/lib/i386-linux-gnu (libraries and CMake package files) instead
# of the host's x86_64-linux-gnu directories.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu
    /usr/lib/x86_64-linux-gnu/cmake /usr/lib/x86_64-linux-gnu/pkgconfig)

# pkg-config reads only the i386 and the architecture-independent .pc files.
set(ENV{PKG_CONFIG_LIBDIR}
    "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
