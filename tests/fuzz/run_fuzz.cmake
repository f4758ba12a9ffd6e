# Runs one fuzz program for SECONDS on a fresh copy of its seed corpus in WORK:
#   cmake -DPROGRAM=... -DSEEDS=... -DWORK=... -DSECONDS=... [-DOPTIONS=...] -P run_fuzz.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus)
file(GLOB seeds ${SEEDS}/*)
file(COPY ${seeds} DESTINATION ${WORK}/corpus)
execute_process(COMMAND ${PROGRAM} -max_total_time=${SECONDS} -timeout=30 -print_final_stats=1 ${OPTIONS}
                        -artifact_prefix=${WORK}/ ${WORK}/corpus
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(GLOB found ${WORK}/crash-* ${WORK}/timeout-* ${WORK}/oom-* ${WORK}/leak-*)
  message(FATAL_ERROR "${PROGRAM} failed (${result}); inputs kept: ${found}")
endif()
