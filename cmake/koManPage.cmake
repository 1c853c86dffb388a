# ko_add_man_page(TARGET SUMMARY): section-1 manual page of the program TARGET,
# rendered from its --help and --version by help2man, built with everything and
# installed. Without help2man (Debian package help2man) the page is skipped
# with a warning; the package test then reports it missing.
find_program(KOSESSION_HELP2MAN help2man)
if(NOT KOSESSION_HELP2MAN)
  message(WARNING "help2man not found: no manual pages (scripts/install-deps installs it)")
endif()

function(ko_add_man_page target summary)
  # A sanitizer build is for the tests: its programs are not installed, and
  # running one at build time could fail the build on a leak report.
  if(NOT KOSESSION_HELP2MAN OR KOSESSION_SANITIZE)
    return()
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${target}.1)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${KOSESSION_HELP2MAN} --no-info --no-discard-stderr --section=1 --name=${summary}
            --output=${page} $<TARGET_FILE:${target}>
    DEPENDS ${target}
    COMMENT "Manual page ${target}.1"
    VERBATIM)
  add_custom_target(${target}-man ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
