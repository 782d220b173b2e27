# Cross toolchain for code that must follow the MSVC C++ ABI (vynAddon, which
# links against the C++ exports of a Windows Node), without MSVC itself:
# clang in MSVC mode, lld-link, libc++'s headers over the MinGW-w64 Windows
# headers, import libraries made from the host's own executables. There is no
# MSVC runtime here, so the C++ library is headers-only (nothing that needs
# its compiled part links) and the module brings its own DLL entry point.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

include(${CMAKE_CURRENT_LIST_DIR}/clang-msvc-flags.cmake)
find_program(VYN_CLANG NAMES clang-14 clang REQUIRED)
find_program(VYN_CLANGXX NAMES clang++-14 clang++ REQUIRED)
find_program(CMAKE_AR NAMES llvm-ar-14 llvm-ar REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES llvm-rc-14 llvm-rc REQUIRED)
find_program(CMAKE_LINKER NAMES lld-link-14 lld-link REQUIRED)
set(CMAKE_C_COMPILER ${VYN_CLANG})
set(CMAKE_CXX_COMPILER ${VYN_CLANGXX})
set(CMAKE_C_COMPILER_TARGET ${VYN_CLANG_MSVC_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${VYN_CLANG_MSVC_TARGET})

set(VYN_WINDOWS_SYSTEM_DLL_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows
    CACHE PATH "Windows system DLLs whose exports make the import libraries (Wine's)")
set(VYN_MINGW_RUNTIME_ARCHIVE /usr/x86_64-w64-mingw32/lib/libmingwex.a
    CACHE FILEPATH "MinGW-w64 archive holding the delay-load helper")
# Without a vendor runtime there are no exceptions to build with. Debug
# information in the form Windows debuggers read.
list(JOIN VYN_CLANG_MSVC_C_FLAGS " " _vyn_c_flags)
list(JOIN VYN_CLANG_MSVC_CXX_FLAGS " " _vyn_cxx_flags)
set(CMAKE_C_FLAGS_INIT "${_vyn_c_flags} -fno-exceptions -gcodeview")
set(CMAKE_CXX_FLAGS_INIT "${_vyn_cxx_flags} -fno-exceptions -fno-rtti -D_HAS_EXCEPTIONS=0 -gcodeview")
# Links go through the clang driver, which is also handed the compile flags.
foreach(_kind EXE SHARED MODULE)
  set(CMAKE_${_kind}_LINKER_FLAGS_INIT
      "-fuse-ld=lld -nostdlib -Xlinker /nodefaultlib -Wno-unused-command-line-argument")
endforeach()

# No vendor runtime to choose or link by default.
set(CMAKE_MSVC_RUNTIME_LIBRARY "")
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
# The launcher needs the compiled C++ library, which this toolchain lacks; the
# project builds only the addon with it.
set(VYN_ADDON_ONLY ON)
# A test executable would need an entry point and runtime of its own.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
