# Runs one fuzz target for SECONDS seconds over a fresh copy of its seeds in WORK, so that the inputs it adds
# stay out of the source tree. Fails when the target reports a crash, a leak or undefined behaviour.
#   cmake -DFUZZER=<exe> -DSEEDS=<dir> -DWORK=<dir> -DSECONDS=<n> [-DDICT=<file>] -P RunShortFuzz.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(GLOB seed_files ${SEEDS}/*)
file(COPY ${seed_files} DESTINATION ${WORK}/corpus)

set(arguments -max_total_time=${SECONDS} -timeout=10 -print_final_stats=1 -artifact_prefix=${WORK}/artifacts/)
if(DICT)
  list(APPEND arguments -dict=${DICT})
endif()
execute_process(COMMAND ${FUZZER} ${arguments} ${WORK}/corpus RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${status}); the input is kept in ${WORK}/artifacts")
endif()
