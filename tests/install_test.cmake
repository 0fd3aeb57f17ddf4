# Installs the build into a fresh DESTDIR, checks what lands there and that the
# installed program runs, then uninstalls and checks that nothing is left.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DVERSION=... -DWORK_DIR=... -P install_test.cmake
set(destdir "${WORK_DIR}/destdir")
file(REMOVE_RECURSE "${destdir}")
file(MAKE_DIRECTORY "${destdir}")
set(DESTDIR "${destdir}")

function(run)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${DESTDIR} ${ARGN}
                  OUTPUT_QUIET RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${ARGN}: ${failed}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix /usr --strip)

file(GLOB examples RELATIVE "${SOURCE_DIR}/examples" "${SOURCE_DIR}/examples/*.scl" "${SOURCE_DIR}/examples/*.kbm")
list(TRANSFORM examples PREPEND "usr/share/retune/")
set(expected usr/bin/retune usr/share/man/man1/retune.1 usr/share/bash-completion/completions/retune
    usr/share/zsh/site-functions/_retune ${examples})
list(SORT expected)
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${destdir}" "${destdir}/*")
list(SORT installed)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed:\n  ${installed}\nexpected:\n  ${expected}")
endif()

execute_process(COMMAND "${destdir}/usr/bin/retune" --version OUTPUT_VARIABLE version)
if(NOT version STREQUAL "retune ${VERSION}\n")
  message(FATAL_ERROR "the installed program says \"${version}\"")
endif()

# Uninstalling needs only the source tree.
run(${CMAKE_COMMAND} -DPREFIX=/usr -P "${SOURCE_DIR}/cmake/uninstall.cmake")
file(GLOB_RECURSE left LIST_DIRECTORIES true "${destdir}/*")
if(left)
  message(FATAL_ERROR "left after uninstall:\n  ${left}")
endif()
file(REMOVE_RECURSE "${destdir}")

# A private prefix, without DESTDIR: the directories made below it go too.
set(DESTDIR "")
set(private "${WORK_DIR}/private")
file(REMOVE_RECURSE "${private}")
file(MAKE_DIRECTORY "${private}")
file(WRITE "${private}/share/other" "")
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${private}")
run(${CMAKE_COMMAND} -DPREFIX=${private} -P "${SOURCE_DIR}/cmake/uninstall.cmake")
file(GLOB_RECURSE left LIST_DIRECTORIES true RELATIVE "${private}" "${private}/*")
if(NOT left STREQUAL "share;share/other")
  message(FATAL_ERROR "left after uninstall from ${private}:\n  ${left}")
endif()
file(REMOVE_RECURSE "${private}")
