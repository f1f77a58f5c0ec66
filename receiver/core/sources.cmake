# The listening core's sources, for the host build and the firmware's alike.
set(SONICSEND_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/HandOver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ListeningCore.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ListeningCoreSearch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ListeningCoreRoom.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ToneWindows.cpp
  ${CMAKE_CURRENT_LIST_DIR}/listener.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reading.cpp
  ${CMAKE_CURRENT_LIST_DIR}/framing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/messageBounds.cpp)
