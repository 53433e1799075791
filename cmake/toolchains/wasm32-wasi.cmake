# Builds for WebAssembly with Debian's clang-14 and the WASI sysroot (wasi-libc,
# libc++-14-dev-wasm32, libc++abi-14-dev-wasm32, libclang-rt-14-dev-wasm32). The browser build
# is a WASI "reactor": a library instance with no main and no imports, whose exports the page
# calls after _initialize().
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR wasm32)
set(NIMBRELLE_WEB ON)

find_program(NIMBRELLE_WASM_CC NAMES clang-14 REQUIRED)
find_program(NIMBRELLE_WASM_CXX NAMES clang++-14 REQUIRED)
set(CMAKE_C_COMPILER ${NIMBRELLE_WASM_CC})
set(CMAKE_CXX_COMPILER ${NIMBRELLE_WASM_CXX})
set(CMAKE_C_COMPILER_TARGET wasm32-wasi)
set(CMAKE_CXX_COMPILER_TARGET wasm32-wasi)
find_program(CMAKE_AR NAMES llvm-ar-14 REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib-14 REQUIRED)
# The WASI C++ library is built without exception support.
set(CMAKE_CXX_FLAGS_INIT "-fno-exceptions")

# Checking the compiler links a program; a reactor has no main, so check with a library.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# The sysroot's headers and libraries are Debian's multiarch wasm32-wasi folders, which the
# compiler finds by itself; position-independent code would make the module import its
# memory layout from a dynamic loader the browser does not have.
set(CMAKE_POSITION_INDEPENDENT_CODE OFF)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
