# Builds vparallel.sys with the windows toolchain and checks it with pe_check.
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BUILD_DIR} -G Ninja
          -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configuring the windows build failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target vparallel RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building vparallel.sys failed")
endif()
execute_process(COMMAND ${PE_CHECK} ${BUILD_DIR}/vparallel.sys --unstripped ${BUILD_DIR}/symbols/vparallel.sys
                        --kernel-exports ${SOURCE_DIR}/tools/pe_check/kernel_exports.txt
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "vparallel.sys failed the image check")
endif()
