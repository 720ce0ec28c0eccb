# A normal run of the given scenarios prints the report on stdout and on
# stderr nothing but one timing line per scenario: no line about the system
# bus, no warning the run repeats. A scenario with a mistake is refused with
# exit code 2 and its key path.
# Usage: cmake -DSIMULATOR=... -DPLUGIN_DIR=... -DSCENARIOS=a.json;b.json -DBROKEN=x.json -DWORK_DIR=... -P quiet.cmake
foreach(variable SIMULATOR PLUGIN_DIR SCENARIOS BROKEN WORK_DIR)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "quiet.cmake needs -D${variable}=...")
    endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})

execute_process(COMMAND ${SIMULATOR} --check --plugin-dir ${PLUGIN_DIR} --out ${WORK_DIR} ${SCENARIOS}
                OUTPUT_QUIET ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "The run failed (${result}):\n${errors}")
endif()
# Each timing line becomes one "x"; anything else stays and fails.
string(REGEX REPLACE "Simulated [0-9]+ minutes in [0-9]+ ms[^\n]*\n" "x" marks "${errors}")
list(LENGTH SCENARIOS expected)
string(LENGTH "${marks}" count)
if(NOT marks MATCHES "^x*$" OR NOT count EQUAL expected)
    message(FATAL_ERROR "stderr of a normal run holds more than one timing line per scenario:\n${errors}")
endif()

execute_process(COMMAND ${SIMULATOR} --plugin-dir ${PLUGIN_DIR} --out ${WORK_DIR} ${BROKEN}
                OUTPUT_QUIET ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 2 OR NOT errors MATCHES "phasePowerLimt: unknown key \\(did you mean \"phasePowerLimit\"\\?\\)")
    message(FATAL_ERROR "A misspelt key gave exit code ${result}:\n${errors}")
endif()
message(STATUS "${count} quiet runs; the misspelt scenario refused with exit code 2")
