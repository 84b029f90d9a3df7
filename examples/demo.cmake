# Runs quelm on a fresh copy of the sample files, so the demo can be run again and again.
function(say text)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${text}")
endfunction()

file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}")
file(COPY "${EXAMPLES}/accounts.scp" "${EXAMPLES}/gmlist.txt" DESTINATION "${WORKDIR}")
say("In ${WORKDIR}:")
say("$ quelm accounts.scp gmlist.txt")
execute_process(COMMAND "${QUELM}" accounts.scp gmlist.txt
                WORKING_DIRECTORY "${WORKDIR}" RESULT_VARIABLE status)
say("exit status: ${status}")
file(GLOB left RELATIVE "${WORKDIR}" "${WORKDIR}/*" "${WORKDIR}/.*")
list(SORT left)
string(REPLACE ";" "  " left "${left}")
say("files now: ${left}")
