# Where installing puts each file, relative to the prefix: read when
# installing and when uninstalling, so that uninstalling needs no build tree.
# Sets retune_installed (the files installed) and the directories below.
include_guard(GLOBAL)
foreach(kind BINDIR:bin MANDIR:share/man DATADIR:share)
  string(REPLACE ":" ";" kind "${kind}")
  list(GET kind 0 name)
  list(GET kind 1 default)
  if(NOT CMAKE_INSTALL_${name})
    set(CMAKE_INSTALL_${name} ${default})
  endif()
endforeach()

set(retune_bin_dir ${CMAKE_INSTALL_BINDIR})
set(retune_man_dir ${CMAKE_INSTALL_MANDIR}/man1)
set(retune_tunings_dir ${CMAKE_INSTALL_DATADIR}/retune)
set(retune_bash_dir ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
set(retune_zsh_dir ${CMAKE_INSTALL_DATADIR}/zsh/site-functions)

get_filename_component(retune_source_dir "${CMAKE_CURRENT_LIST_DIR}" DIRECTORY)
file(GLOB retune_example_tunings "${retune_source_dir}/examples/*.scl" "${retune_source_dir}/examples/*.kbm")

set(retune_installed ${retune_bin_dir}/retune ${retune_man_dir}/retune.1 ${retune_bash_dir}/retune
    ${retune_zsh_dir}/_retune)
foreach(tuning IN LISTS retune_example_tunings)
  get_filename_component(name "${tuning}" NAME)
  list(APPEND retune_installed ${retune_tunings_dir}/${name})
endforeach()
