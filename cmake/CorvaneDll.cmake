# The device build: the driver folders alone, as the 32-bit Corvane.dll that
# the device manager loads. Win32 comes from the cross compiler's libraries;
# what Windows CE adds is imported from coredll.dll through an import library
# made from platform/ce/coredll.def. Included by the top CMakeLists.txt when
# CMAKE_SYSTEM_NAME is Windows, with DRIVER_SOURCES set.

set(COREDLL_DEF ${CMAKE_SOURCE_DIR}/platform/ce/coredll.def)
set(COREDLL_IMPORTS ${CMAKE_BINARY_DIR}/libcoredll.a)
add_custom_command(OUTPUT ${COREDLL_IMPORTS}
  COMMAND ${CMAKE_DLLTOOL} --kill-at --input-def ${COREDLL_DEF} --dllname coredll.dll --output-lib ${COREDLL_IMPORTS}
  DEPENDS ${COREDLL_DEF}
  COMMENT "Import library for coredll.dll"
  VERBATIM)
add_custom_target(coredll_imports DEPENDS ${COREDLL_IMPORTS})

# Corvane.def names the exports: the ten entry points and nothing else.
add_library(Corvane SHARED ${DRIVER_SOURCES} ${CMAKE_SOURCE_DIR}/windows/Corvane.def)
set_target_properties(Corvane PROPERTIES PREFIX "" OUTPUT_NAME Corvane)
target_include_directories(Corvane PRIVATE ${CMAKE_SOURCE_DIR})
# The driver throws nothing and asks no type at run time.
target_compile_options(Corvane PRIVATE -fno-exceptions -fno-rtti)
add_dependencies(Corvane coredll_imports)
# The compiler's own run-time support goes into the DLL, so that it needs
# only system DLLs besides coredll.dll; none of its symbols is exported.
target_link_options(Corvane PRIVATE -static-libgcc -static-libstdc++ -Wl,--exclude-all-symbols
                    -Wl,--no-insert-timestamp)
target_link_libraries(Corvane PRIVATE ${COREDLL_IMPORTS})
