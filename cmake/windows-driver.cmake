# vparallel.sys: PE32+, native subsystem, entry DriverEntry, no C or C++ runtime,
# importing only from ntoskrnl.exe and HAL.dll.
include(${CMAKE_CURRENT_LIST_DIR}/kernel-image.cmake)
option(VPARALLEL_NO_KEYBOARD_VETO
  "Leave the start-up keyboard poll out (for hosts where port I/O is privileged, e.g. Wine)" OFF)

# CMake would add the Win32 libraries (kernel32, user32, ...) to every link line, a kernel image's
# too. Each target names what it links; gcc adds the C runtime's own for the Win32 programs.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# Resource scripts (windres): the version every shipped file carries comes from the project's
# version through this generated header.
enable_language(RC)
set(VPARALLEL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/cmake/vparallel_version.h.in ${VPARALLEL_GENERATED_DIR}/vparallel_version.h @ONLY)
# The driver image's resource scripts, linked into every build of the image (the shipped one and
# the one loaded under Wine); a script added here may include generated files from
# VPARALLEL_GENERATED_DIR.
set(VPARALLEL_DRIVER_RESOURCES ${CMAKE_SOURCE_DIR}/driver/vparallel.rc
  # The event-log message table (cmake/messages.cmake): the script windmc wrote beside the table.
  ${VPARALLEL_MESSAGE_RC})

# vparallel_kernel_image(<target> NAME <file name> DIRECTORY <dir> SOURCES ... [DEFINES ...])
# Links <dir>/symbols/<name>.sys, with its symbol table, and the map <dir>/symbols/<name>.map for
# debugging and for the image checker; ships <dir>/<name>.sys, the same image without symbols.
# SOURCES may include resource scripts (.rc); the compiler flags apply to the C++ sources only.
function(vparallel_kernel_image target)
  cmake_parse_arguments(K "" "NAME;DIRECTORY" "SOURCES;DEFINES" ${ARGN})
  add_executable(${target} ${K_SOURCES})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${K_NAME} SUFFIX ".sys" PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${K_DIRECTORY}/symbols)
  target_include_directories(${target} SYSTEM PRIVATE ${VPARALLEL_KERNEL_DDK_INCLUDE})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${VPARALLEL_GENERATED_DIR})
  # windres finds the message table's binary (named bare in windmc's script) on the include path.
  target_include_directories(${target} PRIVATE $<$<COMPILE_LANGUAGE:RC>:${VPARALLEL_GENERATED_DIR}/driver>)
  add_dependencies(${target} vparallel_messages)
  target_compile_definitions(${target} PRIVATE ${VPARALLEL_KERNEL_DEFS} ${K_DEFINES})
  target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:${VPARALLEL_KERNEL_CFLAGS}>")
  target_link_options(${target} PRIVATE ${VPARALLEL_KERNEL_LINK_FLAGS} ${VPARALLEL_KERNEL_ENTRY}
    -Wl,-Map=${K_DIRECTORY}/symbols/${K_NAME}.map)
  target_link_libraries(${target} PRIVATE ${VPARALLEL_KERNEL_LIBS})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --strip-all $<TARGET_FILE:${target}> ${K_DIRECTORY}/${K_NAME}.sys
    BYPRODUCTS ${K_DIRECTORY}/${K_NAME}.sys
    COMMENT "Stripping ${K_NAME}.sys")
endfunction()

set(_keyboard_veto)
if(VPARALLEL_NO_KEYBOARD_VETO)
  set(_keyboard_veto VPARALLEL_NO_KEYBOARD_VETO)
endif()
vparallel_kernel_image(vparallel NAME vparallel DIRECTORY ${CMAKE_BINARY_DIR}
  SOURCES ${VPARALLEL_DRIVER_SOURCES} ${VPARALLEL_DRIVER_RESOURCES} DEFINES ${_keyboard_veto})

# Win32 programs: the package's tool and the test client, static so they need no runtime DLLs.
set(VPARALLEL_WIN32_FLAGS -municode -Wall -Wextra -Werror)
set(VPARALLEL_WIN32_LINK -municode -static -static-libgcc -static-libstdc++)
set(VPARALLEL_WIN32_DEFS UNICODE _UNICODE _WIN32_WINNT=0x0A00)

# The package's tool, then the Wine test bed (simulated printer, client, the Wine image).
add_subdirectory(package)
add_subdirectory(tests/wine)
