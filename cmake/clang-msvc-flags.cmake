# Where clang in MSVC mode finds its headers without MSVC: libc++'s headers
# over the MinGW-w64 Windows headers, with a small overlay first that
# configures libc++ for Windows without a vendor runtime and declares what
# libc++ expects of the C runtime and MinGW-w64's headers lack. _UCRT: the
# runtime is ucrtbase. Shared by the toolchain file and by the check that
# compiles the launcher's sources in MSVC mode.
set(VYN_CLANG_MSVC_TARGET x86_64-pc-windows-msvc)
set(VYN_LIBCXX_INCLUDE_DIR /usr/lib/llvm-14/include/c++/v1
    CACHE PATH "libc++ headers (Debian package libc++-14-dev)")
set(VYN_WINDOWS_INCLUDE_DIR /usr/x86_64-w64-mingw32/include
    CACHE PATH "Windows SDK and C runtime headers (MinGW-w64)")
set(VYN_MSVC_ABI_OVERLAY ${CMAKE_CURRENT_LIST_DIR}/clang-msvc/include)

set(VYN_CLANG_MSVC_C_FLAGS -fgnuc-version=4.2.1 -nostdlibinc -D_UCRT
                           -isystem ${VYN_MSVC_ABI_OVERLAY} -isystem ${VYN_WINDOWS_INCLUDE_DIR})
set(VYN_CLANG_MSVC_CXX_FLAGS -fgnuc-version=4.2.1 -nostdlibinc -nostdinc++ -D_UCRT
                             -isystem ${VYN_MSVC_ABI_OVERLAY} -isystem ${VYN_LIBCXX_INCLUDE_DIR}
                             -isystem ${VYN_WINDOWS_INCLUDE_DIR})
