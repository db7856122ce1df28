# make windows-test: the stand-in coredll.dll and the host program that run
# Corvane.dll, as built above, under Wine (wine/run.sh). Built only when asked
# for: the stand-in takes the simulation's chip, band and bus driver, and the
# cross compiler's C++ library, which the DLL itself must not.
set(STANDIN_SOURCES
  ${CMAKE_SOURCE_DIR}/wine/SystemCalls.cpp
  ${CMAKE_SOURCE_DIR}/wine/Device.cpp
  ${CMAKE_SOURCE_DIR}/wine/RealTimeKernel.cpp
  ${CMAKE_SOURCE_DIR}/sim/kernel/Random.cpp
  ${CMAKE_SOURCE_DIR}/sim/si4709/Si4709.cpp
  ${CMAKE_SOURCE_DIR}/sim/si4709/Si4709Rds.cpp
  ${CMAKE_SOURCE_DIR}/sim/si4709/Si4709Tuning.cpp
  ${CMAKE_SOURCE_DIR}/sim/band/Band.cpp
  ${CMAKE_SOURCE_DIR}/sim/band/RdsSource.cpp
  ${CMAKE_SOURCE_DIR}/sim/band/RdsGenerator.cpp
  ${CMAKE_SOURCE_DIR}/sim/band/RdsGroups.cpp
  ${CMAKE_SOURCE_DIR}/sim/i2c/I2CBus.cpp
  ${CMAKE_SOURCE_DIR}/sim/soc/MemoryWindow.cpp
  ${CMAKE_SOURCE_DIR}/sim/soc/GpioWindow.cpp)
add_library(corvane_standin SHARED EXCLUDE_FROM_ALL ${STANDIN_SOURCES} ${CMAKE_SOURCE_DIR}/wine/coredll.def)
set_target_properties(corvane_standin PROPERTIES PREFIX "" OUTPUT_NAME coredll
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/wine ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/wine)
target_include_directories(corvane_standin PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(corvane_standin PRIVATE CORVANE_STANDIN)
target_link_options(corvane_standin PRIVATE -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp)
target_link_libraries(corvane_standin PRIVATE kernel32)

add_executable(corvane_wine_host EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/wine/Host.cpp)
set_target_properties(corvane_wine_host PROPERTIES OUTPUT_NAME host RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/wine)
target_include_directories(corvane_wine_host PRIVATE ${CMAKE_SOURCE_DIR})
target_link_options(corvane_wine_host PRIVATE -static-libgcc -static-libstdc++ -municode)
target_link_libraries(corvane_wine_host PRIVATE corvane_standin kernel32)
