# vparallel.sys: PE32+, native subsystem, entry DriverEntry, no C or C++ runtime,
# importing only from ntoskrnl.exe and HAL.dll.
set(MINGW_SYSROOT /usr/x86_64-w64-mingw32)
option(VPARALLEL_NO_KEYBOARD_VETO
  "Leave the start-up keyboard poll out (for hosts where port I/O is privileged, e.g. Wine)" OFF)

set(VPARALLEL_KERNEL_CFLAGS
  -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector -ffreestanding
  -mno-stack-arg-probe -fno-asynchronous-unwind-tables
  -Wall -Wextra -Werror)
set(VPARALLEL_KERNEL_DEFS
  _AMD64_ _WIN64 NTDDI_VERSION=0x0A000000 _WIN32_WINNT=0x0A00
  __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset)

function(vparallel_kernel_image target)
  cmake_parse_arguments(K "" "" "SOURCES;DEFINES" ${ARGN})
  add_executable(${target} ${K_SOURCES})
  set_target_properties(${target} PROPERTIES SUFFIX ".sys" PREFIX "")
  target_include_directories(${target} SYSTEM PRIVATE ${MINGW_SYSROOT}/include/ddk)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${target} PRIVATE ${VPARALLEL_KERNEL_DEFS} ${K_DEFINES})
  target_compile_options(${target} PRIVATE ${VPARALLEL_KERNEL_CFLAGS})
  target_link_options(${target} PRIVATE
    -shared -nostdlib -nostartfiles
    -Wl,--subsystem,native -Wl,--entry,DriverEntry
    -Wl,--image-base,0x140000000 -Wl,--dynamicbase -Wl,--nxcompat
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000)
  target_link_libraries(${target} PRIVATE ntoskrnl hal gcc)
endfunction()

vparallel_kernel_image(vparallel SOURCES ${VPARALLEL_DRIVER_SOURCES})
if(VPARALLEL_NO_KEYBOARD_VETO)
  target_compile_definitions(vparallel PRIVATE VPARALLEL_NO_KEYBOARD_VETO)
endif()

# Win32 programs: the package's tool and the test client, static so they need no runtime DLLs.
set(VPARALLEL_WIN32_FLAGS -municode -Wall -Wextra -Werror)
set(VPARALLEL_WIN32_LINK -municode -static -static-libgcc -static-libstdc++)
set(VPARALLEL_WIN32_DEFS UNICODE _UNICODE _WIN32_WINNT=0x0A00)

# The package's tool, then the Wine test bed (simulated printer, client, the Wine image).
add_subdirectory(package)
add_subdirectory(tests/wine)
