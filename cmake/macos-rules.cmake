# Read after CMake's rules for Apple's compilers (cmake/macos.cmake names it): its probe
# of the compiler asks the linker to be verbose too, which Zig's linker refuses.
set(CMAKE_C_VERBOSE_FLAG -v)
set(CMAKE_CXX_VERBOSE_FLAG -v)
