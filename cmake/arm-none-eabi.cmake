# Cross-compiles the listening core's example firmware for a Cortex-M (Debian's
# gcc-arm-none-eabi, newlib with semihosting).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# SONICSEND_ARM_CPU picks the chip: m4f (the default), a Cortex-M4F with its FPU, or m0plus, a
# Cortex-M0+ (armv6-m, no FPU: newlib's thumb/v6-m/nofp, floats in software).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SONICSEND_ARM_CPU)
if(NOT SONICSEND_ARM_CPU OR SONICSEND_ARM_CPU STREQUAL "m4f")
  set(cpuFlags "-mcpu=cortex-m4 -mthumb -mfloat-abi=hard -mfpu=fpv4-sp-d16")
elseif(SONICSEND_ARM_CPU STREQUAL "m0plus")
  set(cpuFlags "-mcpu=cortex-m0plus -mthumb")
else()
  message(FATAL_ERROR "SONICSEND_ARM_CPU is m4f or m0plus, not ${SONICSEND_ARM_CPU}")
endif()
set(CMAKE_C_FLAGS_INIT "${cpuFlags} -ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "${cpuFlags} -ffunction-sections -fdata-sections")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${cpuFlags} --specs=rdimon.specs -Wl,--gc-sections")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
