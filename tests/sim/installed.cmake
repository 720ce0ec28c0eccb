# Installs the build tree into a fresh prefix (cmake --install) and runs the
# installed simulator from there, as a user of the installation would: the
# sunny-day scenario with its expectations checked, then the car without its
# own SoC under a German locale, whose notification must arrive in German
# with no variable pointing at the translations.
# Usage: cmake -DBUILD_DIR=... -DWORK_DIR=... -P installed.cmake
foreach(variable BUILD_DIR WORK_DIR)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "installed.cmake needs -D${variable}=...")
    endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                OUTPUT_QUIET ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${result}):\n${errors}")
endif()
foreach(file bin/tavro-host bin/tavro-energy-sim lib/tavro/plugins/libenergy_plugin_tavro.so
             share/tavro/translations/tavro-energy-plugin-tavro-de.qm share/tavro/scenarios/sunny-day.json)
    if(NOT EXISTS ${prefix}/${file})
        message(FATAL_ERROR "The installation lacks ${file}")
    endif()
endforeach()

# Nothing from the build tree may be found: the installed programs run with
# the build's folders out of reach of every lookup.
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=TAVRO_PLUGIN_PATH --unset=TAVRO_TRANSLATIONS_PATH
                        ${prefix}/bin/tavro-energy-sim --check --out ${WORK_DIR}/out
                        ${prefix}/share/tavro/scenarios/sunny-day.json
                WORKING_DIRECTORY ${WORK_DIR}
                OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "The installed simulator failed on sunny-day.json (${result}):\n${output}\n${errors}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=TAVRO_PLUGIN_PATH --unset=TAVRO_TRANSLATIONS_PATH
                        LANG=de_DE.UTF-8 LC_ALL=de_DE.UTF-8 HOME=${WORK_DIR}
                        ${prefix}/bin/tavro-energy-sim --out ${WORK_DIR}/out
                        ${prefix}/share/tavro/scenarios/car-without-soc.json
                WORKING_DIRECTORY ${WORK_DIR}
                OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT output MATCHES "Auto angesteckt: Hier tippen, um den Ladestand zu aktualisieren\\.")
    message(FATAL_ERROR "No German notification from the installed plugin (${result}):\n${output}\n${errors}")
endif()
