# Warnings are errors in our own code. The web page's build passes the same flags to em++.
set(VELARTO_WARNING_FLAGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Werror)
# The signal code is specified to the last bit: no fused multiply-add, no fast-math.
set(VELARTO_EXACT_FLOAT_FLAGS -ffp-contract=off -fno-fast-math)

function(velarto_warnings target)
  target_compile_options(${target} PRIVATE ${VELARTO_WARNING_FLAGS})
  # GCC 12 reports false -Wrestrict overlaps inside std::string concatenation at -O3
  # (GCC bug 105651); the warning says nothing about our code there.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
endfunction()

function(velarto_exact_float target)
  target_compile_options(${target} PRIVATE ${VELARTO_EXACT_FLOAT_FLAGS})
endfunction()
