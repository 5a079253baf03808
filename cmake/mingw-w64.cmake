# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix thread model: the win32 variant has
# no std::thread or std::mutex). Executables are linked statically so that they run under Wine or
# on a bare Windows machine without the MinGW runtime DLLs beside them.
#   cmake --preset windows-cross    (or: -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VARNET_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VARNET_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARNET_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VARNET_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VARNET_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's wine64 package has no `wine` launcher; ctest and gtest run the .exe files through this.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Header-only libraries from the host's packages that the target may use (see the file there).
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/cross/CLI11 CACHE PATH "CLI11 for the cross build")
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/cross/nlohmann_json
    CACHE PATH "nlohmann/json for the cross build")
