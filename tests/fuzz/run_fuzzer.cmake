# One fuzz target for a fixed number of inputs on a fresh copy of its seeds,
# so the search never writes into the source tree. The seed of the search is
# fixed as well: a test run tries the same inputs every time.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK} ${ARTIFACTS})
file(GLOB _seeds ${SEEDS}/*)
file(COPY ${_seeds} DESTINATION ${WORK})
execute_process(COMMAND ${FUZZER} -runs=${RUNS} -seed=1 -print_final_stats=1
                        -artifact_prefix=${ARTIFACTS}/ ${WORK}
                RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${_result}); the input is in ${ARTIFACTS}")
endif()
