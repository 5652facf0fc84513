# Runs a gang of three virtual dongles with the Windows program under its emulator. Each child
# gets its arguments through a command line the gang quotes: a path with spaces and one that
# ends in a backslash must arrive whole, or the children fail or log and dump elsewhere.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
execute_process(COMMAND ${EMULATOR} ${PROGRAM} --log "${WORK}/run log.jsonl"
                        --sim-dump "${WORK}/dump dir\\" --simulate k3r8,k3r1,demoboard gang ${ROM}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT status EQUAL 0)
    message(FATAL_ERROR "exit status ${status}, expected 0")
endif()
if(NOT out MATCHES "\nsim:2 +OTP Writer K3.r1 +success +0 ")
    message(FATAL_ERROR "no summary line for sim:2")
endif()
file(STRINGS "${WORK}/run log.jsonl" logged)
list(LENGTH logged count)
if(NOT count EQUAL 3)
    message(FATAL_ERROR "${count} run-log lines, expected 3")
endif()
foreach(n 1 2 3)
    if(NOT logged MATCHES "\"device\":\"sim:${n}\"")
        message(FATAL_ERROR "no run-log line of sim:${n}")
    endif()
    if(NOT IS_DIRECTORY "${WORK}/dump dir/sim-${n}")
        message(FATAL_ERROR "sim:${n} dumped nothing into the folder named")
    endif()
endforeach()
