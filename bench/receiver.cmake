# The sender makes the signals to decode; the receiver is what is measured.
add_executable(bench_receiver ${CMAKE_CURRENT_LIST_DIR}/receiver_bench.cpp)
target_link_libraries(bench_receiver PRIVATE sonicsend::receiver sonicsend::channel_simulator sonicsend::test_support
                                             benchmark::benchmark PkgConfig::SNDFILE)
velarto_warnings(bench_receiver)

# Success through simulated rooms and channels, and wrong answers on inputs that hold none.
add_executable(bench_rooms ${CMAKE_CURRENT_LIST_DIR}/rooms_bench.cpp)
target_link_libraries(bench_rooms PRIVATE sonicsend::receiver sonicsend::receiver_core
                                          sonicsend::channel_simulator sonicsend::test_support
                                          benchmark::benchmark)
velarto_warnings(bench_rooms)

# The listening core's budgets and success on an emulated chip: the Cortex-M4F, or the Cortex-M0+
# or RV32IMC (DEVICE_TARGET).
if(TARGET sonicsend_firmware)
  add_executable(bench_device ${CMAKE_CURRENT_LIST_DIR}/device_bench.cpp)
  target_link_libraries(bench_device PRIVATE sonicsend::receiver sonicsend::channel_simulator
                                             sonicsend::test_support nlohmann_json::nlohmann_json
                                             benchmark::benchmark)
  target_compile_definitions(bench_device PRIVATE
    SONICSEND_MCU_DECODE="${PROJECT_SOURCE_DIR}/scripts/mcu-decode.sh"
    SONICSEND_FIRMWARE_M4F="${SONICSEND_FIRMWARE_DIR}"
    SONICSEND_FIRMWARE_M0PLUS="${SONICSEND_FIRMWARE_M0PLUS_DIR}"
    SONICSEND_FIRMWARE_RV32="${SONICSEND_FIRMWARE_RV32_DIR}")
  add_dependencies(bench_device sonicsend_firmware sonicsend_firmware_m0plus
                   sonicsend_firmware_rv32)
  velarto_warnings(bench_device)
endif()
