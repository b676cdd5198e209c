# The flavours of a build for this machine, shared by native/ built alone and
# by tests/native, which builds the tests over it:
#   native64-asan   clang, 64-bit, ASan and UBSan
#   native32-ubsan  clang -m32, UBSan and _GLIBCXX_ASSERTIONS
#   native-release  the host compiler at -O2, no sanitizers: what
#                   scripts/make-patch-tool builds vcdiff_check in
# Included before project(), so that -m32 is known when the compilers are
# probed and CMake finds 32-bit libraries; native_flavour_options(), called
# after it, sets the rest for the calling directory and those below it.
include_guard(GLOBAL)
set(NATIVE_FLAVOUR native64-asan CACHE STRING "native64-asan, native32-ubsan or native-release")
set_property(CACHE NATIVE_FLAVOUR PROPERTY STRINGS native64-asan native32-ubsan native-release)
if(NATIVE_FLAVOUR STREQUAL "native32-ubsan")
  set(CMAKE_C_FLAGS_INIT -m32)
  set(CMAKE_CXX_FLAGS_INIT -m32)
  set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
endif()
# Line coverage of the decoder (scripts/native-coverage): clang's source-based
# coverage, without sanitizers.
option(NATIVE_COVERAGE "Instrument for llvm-cov instead of sanitizers" OFF)

macro(native_flavour_options)
  set(CMAKE_CXX_STANDARD 17)
  set(CMAKE_CXX_STANDARD_REQUIRED ON)
  set(CMAKE_CXX_EXTENSIONS OFF)

  # 64-bit file offsets in the 32-bit build too: the tests read a source past 4 GiB.
  add_compile_definitions(_FILE_OFFSET_BITS=64)
  add_compile_options(-Wall -Wextra)

  # The decoder alone also gets the checks that are not undefined behaviour in
  # C++ but are faults in it: unsigned wrap-around and silent narrowing. Nothing
  # else gets them: XXH3, the tests' random numbers and GoogleTest wrap on purpose.
  set(DECODER_CHECKS "")
  if(NATIVE_FLAVOUR STREQUAL "native64-asan" OR NATIVE_FLAVOUR STREQUAL "native32-ubsan")
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      message(FATAL_ERROR "${NATIVE_FLAVOUR} needs clang (configure with -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang)")
    endif()
    set(DECODER_CHECKS -fsanitize=unsigned-integer-overflow,implicit-conversion)
    add_compile_definitions(_GLIBCXX_ASSERTIONS)
    add_compile_options(-g -O1 -fno-omit-frame-pointer -fno-sanitize-recover=all)
    if(NATIVE_COVERAGE)
      set(DECODER_CHECKS "")
    elseif(NATIVE_FLAVOUR STREQUAL "native64-asan")
      add_compile_options(-fsanitize=address,undefined)
      add_link_options(-fsanitize=address,undefined)
    else()
      # XXH3 wants SSE2, as in the Windows build.
      add_compile_options(-msse2 -fsanitize=undefined)
      add_link_options(-fsanitize=undefined)
    endif()
  elseif(NATIVE_FLAVOUR STREQUAL "native-release")
    add_compile_options(-O2)
  else()
    message(FATAL_ERROR "unknown NATIVE_FLAVOUR ${NATIVE_FLAVOUR}")
  endif()

  if(NATIVE_COVERAGE)
    add_compile_options(-fprofile-instr-generate -fcoverage-mapping)
    add_link_options(-fprofile-instr-generate)
  endif()
endmacro()
