# What ctest does before the first test and after the last one (CTestCustom.cmake in the build
# folder runs this with STEP=before or STEP=after).
#   before: empties the folder of skip notes (NOTES); and where the suites run under wine (WINE),
#           starts it before ctest asks them for their tests, which it gives 5 seconds each: wine's
#           first start in a new prefix makes it, and takes far longer.
#   after:  prints why each skipped test was skipped, from the notes the suites wrote.
if(STEP STREQUAL "before")
  file(REMOVE_RECURSE "${NOTES}")
  file(MAKE_DIRECTORY "${NOTES}")
  if(WINE)
    set(prefix "$ENV{WINEPREFIX}")
    if(prefix STREQUAL "")
      set(prefix "$ENV{HOME}/.wine")
    endif()
    if(NOT EXISTS "${prefix}/system.reg")
      message("Making wine's prefix ${prefix}, once: a minute or more")
      execute_process(COMMAND wineboot --init INPUT_FILE /dev/null OUTPUT_FILE /dev/null
                      ERROR_FILE /dev/null)
      execute_process(COMMAND wineserver -w)
    endif()
    # Wine's server and services start with its first program and outlive it, holding on to
    # that program's output, so that ctest would wait for them: they are started here, apart
    # from any test's output, and the server is kept for a minute after the last program ends.
    execute_process(COMMAND wineserver -p60 OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
    execute_process(COMMAND wine cmd /c exit INPUT_FILE /dev/null OUTPUT_FILE /dev/null
                    ERROR_FILE /dev/null)
  endif()
elseif(STEP STREQUAL "after")
  file(GLOB notes "${NOTES}/*")
  if(notes)
    list(SORT notes)
    message("Why they were skipped:")
    foreach(note IN LISTS notes)
      file(READ "${note}" text)
      string(STRIP "${text}" text)
      message("\t${text}")
    endforeach()
  endif()
endif()
