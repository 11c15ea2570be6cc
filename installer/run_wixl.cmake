# Runs wixl (cmake -DWIXL=... -DARGS=a;b;... -P run_wixl.cmake) and fails on anything it says on
# stderr: wixl reports many broken inputs as "CRITICAL" and still exits 0.
execute_process(COMMAND ${WIXL} ${ARGS} RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
  message(FATAL_ERROR "wixl failed (${result}):\n${errors}")
endif()
