# The device build: the driver folders alone, as the 32-bit Corvane.dll that
# the device manager loads. Included by the top CMakeLists.txt when
# CMAKE_SYSTEM_NAME is Windows, with DRIVER_SOURCES set.
#
# A Windows CE module imports every system call and the C library from
# coredll.dll and from nothing else: there is no KERNEL32.dll or msvcrt.dll on
# a device. So the DLL links nothing of the cross compiler's start-up code,
# C library or system libraries: its entry point is the driver's own
# (platform/ce/DllStartup.cpp), and every call it makes is imported from
# coredll.dll through an import library made from platform/ce/coredll.def.

# CMake would hand every Windows link its default system libraries; each
# target here names what it links.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

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
# The driver throws nothing and asks no type at run time; nothing unwinds its
# frames, so it carries no unwind tables.
target_compile_options(Corvane PRIVATE -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables)
add_dependencies(Corvane coredll_imports)
# No start-up files and no default libraries; the compiler's own helpers
# (libgcc: 64-bit division and the like) are linked in statically, and none of
# its symbols is exported. The entry point is the stdcall CorvaneDllStartup.
# The header names the Windows CE subsystem, version 6.0, as the platform's
# own linker does with /SUBSYSTEM:WINDOWSCE.
target_link_options(Corvane PRIVATE -nostdlib -Wl,--entry=_CorvaneDllStartup@12 -Wl,--subsystem,wince:6.0
                    -Wl,--exclude-all-symbols -Wl,--no-insert-timestamp)
target_link_libraries(Corvane PRIVATE ${COREDLL_IMPORTS} gcc)

# The stand-in coredll.dll and the host program that run this very DLL under
# Wine (make windows-test); built only when asked for.
include(${CMAKE_SOURCE_DIR}/wine/WineTest.cmake OPTIONAL)
