# Refreshes a copy of the .ts from the sources as the update_translations target would, keeping what has
# vanished, and holds the copy to translation_check: a text without English, or English for a text that
# is gone, fails.
#
# cmake -DLUPDATE=... -DLUPDATE_OPTIONS=... -DCHECKER=... -DTS=... -DSOURCES_LIST=... -DWORK_DIR=...
#       -P check_translations.cmake
# LUPDATE_OPTIONS: the ones update_translations gives lupdate (a list), -no-obsolete aside.
file(MAKE_DIRECTORY ${WORK_DIR})
get_filename_component(ts_name ${TS} NAME)
set(copy ${WORK_DIR}/${ts_name})
file(COPY_FILE ${TS} ${copy})
execute_process(COMMAND ${LUPDATE} ${LUPDATE_OPTIONS} @${SOURCES_LIST} -ts ${copy}
                RESULT_VARIABLE lupdate_result OUTPUT_VARIABLE lupdate_output ERROR_VARIABLE lupdate_output)
if(NOT lupdate_result EQUAL 0)
    message(FATAL_ERROR "lupdate failed:\n${lupdate_output}")
endif()
execute_process(COMMAND ${CHECKER} ${copy} RESULT_VARIABLE check_result OUTPUT_VARIABLE check_output
                ERROR_VARIABLE check_output)
message("${check_output}")
if(NOT check_result EQUAL 0)
    message(FATAL_ERROR "${TS}: translations incomplete or obsolete (see above)")
endif()
