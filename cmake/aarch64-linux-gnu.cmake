# Cross build for the camera (AArch64) with Debian's cross toolchain (crossbuild-essential-arm64)
# and the arm64 multiarch -dev packages, which install beside the host's under /usr.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# find_package and find_library then look in /usr/lib/aarch64-linux-gnu, never in the host's
# /usr/lib/x86_64-linux-gnu; headers in /usr/include are shared by both architectures.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# pkg-config, which find_package consults first for some libraries (OpenSSL), likewise reads
# the arm64 packages' files only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")

# Test programs built here (gtest discovery, ctest) run under user-mode emulation, with the
# multiarch C runtime (libc6:arm64) that the -dev packages bring. No -L /usr/aarch64-linux-gnu:
# it would pair the cross toolchain's dynamic loader with that other glibc build, and threads hang.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
