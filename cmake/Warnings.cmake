# Warnings are errors in our own code.
function(velarto_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wsign-conversion -Werror)
endfunction()

# The signal code is specified to the last bit: no fused multiply-add, no fast-math.
function(velarto_exact_float target)
  target_compile_options(${target} PRIVATE -ffp-contract=off -fno-fast-math)
endfunction()
