# Cross toolchain for the Windows x64 kernel driver image: mingw-w64's GCC
# (Debian: g++-mingw-w64-x86-64, mingw-w64-x86-64-dev), whose kernel headers
# live in the ddk/ folder of its include directory.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(NIPS_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER ${NIPS_MINGW_TRIPLET}-g++)
set(CMAKE_C_COMPILER ${NIPS_MINGW_TRIPLET}-gcc)
set(CMAKE_RC_COMPILER ${NIPS_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${NIPS_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# A driver links against the kernel's import libraries only, never the
# user-mode Win32 ones CMake adds to every Windows program by default.
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
