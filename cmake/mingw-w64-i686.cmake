# Cross build for Windows (i686) with Debian's mingw-w64, posix thread model
# (std::thread and std::mutex need it).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(_triple i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
