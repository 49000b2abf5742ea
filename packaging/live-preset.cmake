# The example configuration of the service: the controls at their defaults, as
# plumbra prints a preset. cmake -DPLUMBRA=<plumbra> -DOUT=<file> -P live-preset.cmake
execute_process(COMMAND ${PLUMBRA} params --preset OUTPUT_VARIABLE preset RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "plumbra params --preset failed")
endif()
file(WRITE ${OUT} "# Controls of plumbra live in the plumbra-live service, as plumbra params --preset prints them.\n"
                  "# Edit, then: systemctl reload plumbra-live\n${preset}")
