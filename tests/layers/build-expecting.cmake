# cmake -DBUILD_DIR=... -DTARGET=... -DEXPECTED=... -P build-expecting.cmake
# Builds TARGET and ends in failure only when the build failed saying EXPECTED. A build that succeeds,
# or fails for another reason, ends in success, which the WILL_FAIL test that runs this reports as a fault.
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${TARGET}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0 AND output MATCHES "${EXPECTED}")
    message(FATAL_ERROR "${TARGET} did not compile, as expected: ${EXPECTED}")
endif()
message(STATUS "${TARGET}: not the expected failure (exit ${result}):\n${output}")
