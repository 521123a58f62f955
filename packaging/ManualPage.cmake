# Writes the program's manual page (its hidden --manual-page mode) to PAGE
# and PAGE.gz; run with cmake -DPROGRAM=... -DPAGE=... -P.
# The page is made without a display: the mode touches no window system.
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY ${PROGRAM} --manual-page
                OUTPUT_FILE ${PAGE} RESULT_VARIABLE status)
file(SIZE ${PAGE} size)
if(NOT status EQUAL 0 OR size EQUAL 0)
  file(REMOVE ${PAGE})
  message(FATAL_ERROR "${PROGRAM} --manual-page failed (${status})")
endif()
execute_process(COMMAND gzip -9n -c ${PAGE} OUTPUT_FILE ${PAGE}.gz RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${PAGE}.gz)
  message(FATAL_ERROR "gzip of ${PAGE} failed (${status})")
endif()
