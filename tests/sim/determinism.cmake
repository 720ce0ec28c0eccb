# Runs one scenario twice with the same command line and fails unless the
# printed report (stdout) and the CSV timeline are identical byte for byte.
# Also fails when the chart was not drawn (gnuplot missing).
# Usage: cmake -DSIMULATOR=... -DPLUGIN_DIR=... -DSCENARIO=... -DWORK_DIR=... -P determinism.cmake
foreach(variable SIMULATOR PLUGIN_DIR SCENARIO WORK_DIR)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "determinism.cmake needs -D${variable}=...")
    endif()
endforeach()

get_filename_component(name ${SCENARIO} NAME_WE)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

foreach(run 1 2)
    execute_process(COMMAND ${SIMULATOR} --plugin-dir ${PLUGIN_DIR} --out ${WORK_DIR}/out ${SCENARIO}
                    OUTPUT_FILE ${WORK_DIR}/report-${run}.txt
                    ERROR_VARIABLE errors
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "Run ${run} failed (${result}):\n${errors}")
    endif()
    if(NOT EXISTS ${WORK_DIR}/out/${name}.png)
        message(FATAL_ERROR "Run ${run} drew no chart:\n${errors}")
    endif()
    file(RENAME ${WORK_DIR}/out/${name}.csv ${WORK_DIR}/timeline-${run}.csv)
    file(REMOVE ${WORK_DIR}/out/${name}.png)
endforeach()

foreach(output report-%.txt timeline-%.csv)
    string(REPLACE "%" "1" first ${output})
    string(REPLACE "%" "2" second ${output})
    file(SIZE ${WORK_DIR}/${first} size)
    if(size EQUAL 0)
        message(FATAL_ERROR "${first} is empty")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/${first} ${WORK_DIR}/${second}
                    RESULT_VARIABLE different)
    if(different)
        message(FATAL_ERROR "${first} and ${second} differ: the run is not deterministic")
    endif()
endforeach()
message(STATUS "Two runs of ${name}: report and timeline identical")
