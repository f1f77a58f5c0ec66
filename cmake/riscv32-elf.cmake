# Cross-compiles the listening core's example firmware for an RV32IMC core (QEMU's virt) with
# Debian's bare-metal RISC-V compiler and picolibc. Debian's compiler has no rv32imc multilib
# and picks the rv64 one for rv32imc_zicsr: -misa-spec=2.2 keeps Zicsr (for minstret) implied
# by rv32imc, whose libraries are rv32im's. Debian has no C++ library for this target: the
# core needs only its header-only parts, which the Arm package's headers provide.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR riscv32)
set(CMAKE_C_COMPILER riscv64-unknown-elf-gcc)
set(CMAKE_CXX_COMPILER riscv64-unknown-elf-g++)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(cpuFlags "-march=rv32imc -mabi=ilp32 -misa-spec=2.2 --specs=picolibc.specs")
set(cxxHeaders /usr/include/newlib/c++/12.2.1)
set(CMAKE_C_FLAGS_INIT "${cpuFlags} -ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT
    "${cpuFlags} -isystem ${cxxHeaders} -isystem ${cxxHeaders}/arm-none-eabi -ffunction-sections -fdata-sections")
# The link runs with the compile flags, the specs among them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
