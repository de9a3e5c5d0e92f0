# How this project compiles and links a kernel image with mingw-w64: the driver, the simulated
# printer and the image checker's test images all use these lists, so the checker's tests see
# images built exactly like the shipped one.
#
# Unwind tables stay on (x64 .pdata/.xdata for every function: stack walks and bug-check analysis
# need them). The image is a plain executable, not a DLL: nothing is exported. No C runtime, no
# compiler runtime and no user-mode library: ntoskrnl.exe and HAL.dll are the only import
# libraries on the link line.
set(VPARALLEL_KERNEL_CFLAGS
  -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector -ffreestanding
  -mno-stack-arg-probe -fasynchronous-unwind-tables
  -Wall -Wextra -Werror)
set(VPARALLEL_KERNEL_DEFS
  _AMD64_ _WIN64 NTDDI_VERSION=0x0A000000 _WIN32_WINNT=0x0A00
  __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
set(VPARALLEL_KERNEL_LINK_FLAGS
  -nostdlib -nostartfiles
  -Wl,--subsystem,native -Wl,--image-base,0x140000000 -Wl,--dynamicbase -Wl,--nxcompat
  -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000)
set(VPARALLEL_KERNEL_ENTRY -Wl,--entry,DriverEntry)
set(VPARALLEL_KERNEL_LIBS ntoskrnl hal)
set(VPARALLEL_KERNEL_DDK_INCLUDE /usr/x86_64-w64-mingw32/include/ddk)
