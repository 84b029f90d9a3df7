# Read by cpack before it packs. Every time stamp in the .deb and the zip is SOURCE_DATE_EPOCH
# where that is set; otherwise it is set here to the time of the commit the source is checked
# out at, so that whoever rebuilds a commit gets the package bytes of its release.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  find_program(QUELM_GIT git)
  set(epoch "")
  if(QUELM_GIT)
    execute_process(COMMAND "${QUELM_GIT}" log -1 --format=%ct
                    WORKING_DIRECTORY "${CPACK_QUELM_SOURCE_DIR}"
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(epoch MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
  else()
    message(WARNING "The source is not a git checkout: the package carries the time it was made. "
                    "Set SOURCE_DATE_EPOCH to the release's commit time to make its bytes.")
  endif()
endif()
