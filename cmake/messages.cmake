# The driver's event-log messages. binutils' windmc compiles driver/vparallel_log.mc into
#   <build>/generated/driver/vparallel_log.h               the message numbers (both builds' driver)
#   <build>/generated/driver/vparallel_log_MSG00409.bin    the message table itself: linked into
#                                                          vparallel.sys, and the table the Linux
#                                                          tests check the driver's entries against
#   <build>/generated/driver/vparallel_log.rc              the resource script that names the table
# Both builds run the same compiler on the same file, so the numbers the driver uses are always
# those of the table the image carries.
find_program(VPARALLEL_WINDMC x86_64-w64-mingw32-windmc REQUIRED)
get_filename_component(_messages_source ${CMAKE_CURRENT_LIST_DIR}/../driver/vparallel_log.mc ABSOLUTE)
set(VPARALLEL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
set(_messages_dir ${VPARALLEL_GENERATED_DIR}/driver)
set(VPARALLEL_MESSAGE_HEADER ${_messages_dir}/vparallel_log.h)
set(VPARALLEL_MESSAGE_TABLE ${_messages_dir}/vparallel_log_MSG00409.bin)
set(VPARALLEL_MESSAGE_RC ${_messages_dir}/vparallel_log.rc)
add_custom_command(
  OUTPUT ${VPARALLEL_MESSAGE_HEADER} ${VPARALLEL_MESSAGE_TABLE} ${VPARALLEL_MESSAGE_RC}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_messages_dir}
  # -c: the customer flag, so no number can be taken for one of the system's own; -U: UTF-16 text.
  COMMAND ${VPARALLEL_WINDMC} -c -U -b -h ${_messages_dir} -r ${_messages_dir}
          ${_messages_source}
  DEPENDS ${_messages_source}
  COMMENT "Compiling the event-log messages (windmc)"
  VERBATIM)
add_custom_target(vparallel_messages
  DEPENDS ${VPARALLEL_MESSAGE_HEADER} ${VPARALLEL_MESSAGE_TABLE} ${VPARALLEL_MESSAGE_RC})
