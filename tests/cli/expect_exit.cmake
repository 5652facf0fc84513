# Runs `detect` with the Windows program under its emulator and fails unless it exits EXPECTED.
execute_process(COMMAND ${EMULATOR} ${PROGRAM} --no-log detect RESULT_VARIABLE status
                OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT status EQUAL EXPECTED)
    message(FATAL_ERROR "exit status ${status}, expected ${EXPECTED}")
endif()
