# Cross build for Windows (x86_64) with Debian's mingw-w64, posix thread model
# (std::thread and std::mutex need it).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_triple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
