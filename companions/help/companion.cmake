# ksvhelp.chm: the driver's help file. The installer only stages and
# registers it, so a small file made at build time stands in for it.
set(KSV_HELP_FILE ${KSV_SETUP_DIR}/ksvhelp.chm)
add_custom_command(OUTPUT ${KSV_HELP_FILE}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/ksvhelp.txt ${KSV_HELP_FILE}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/ksvhelp.txt
    COMMENT "Making ksvhelp.chm")
add_custom_target(ksvhelp ALL DEPENDS ${KSV_HELP_FILE})
