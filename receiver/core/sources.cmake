# The listening core's sources, for the host build and the firmware's alike.
set(SONICSEND_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/HandOver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ToneWindows.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SymbolHistory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FrameSearch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RoomModel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ListeningCore.cpp
  ${CMAKE_CURRENT_LIST_DIR}/listener.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reading.cpp
  ${CMAKE_CURRENT_LIST_DIR}/framing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/messageBounds.cpp)
