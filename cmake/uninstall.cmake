# Removes what installing under PREFIX puts there, below $ENV{DESTDIR}:
#   DESTDIR=... cmake -DPREFIX=/usr/local -P cmake/uninstall.cmake
# The list of files is the source tree's own (install_layout.cmake): no build
# tree is needed. Directories that become empty go too: inside a DESTDIR all
# of them, under a private prefix those below it, under /usr or /usr/local
# only retune's own.
cmake_minimum_required(VERSION 3.20)

if(NOT PREFIX)
  message(FATAL_ERROR "usage: cmake -DPREFIX=DIR -P uninstall.cmake")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/install_layout.cmake)
set(destdir "$ENV{DESTDIR}")
string(REGEX REPLACE "/+$" "" destdir "${destdir}")
get_filename_component(prefix "${PREFIX}" ABSOLUTE)
set(shared_prefix FALSE)
if(NOT destdir AND prefix MATCHES "^/(usr(/local)?)?$")
  set(shared_prefix TRUE)
endif()

set(parents "")
foreach(file IN LISTS retune_installed)
  set(path "${destdir}${prefix}/${file}")
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    message(STATUS "Removing ${path}")
    file(REMOVE "${path}")
  endif()
  get_filename_component(dir "${prefix}/${file}" DIRECTORY)
  list(APPEND parents "${dir}")
endforeach()

# Each directory, then its parents while they are empty.
list(REMOVE_DUPLICATES parents)
foreach(dir IN LISTS parents)
  while(dir AND NOT dir STREQUAL "/")
    if(shared_prefix AND NOT dir MATCHES "/retune$")
      break()
    endif()
    if(NOT destdir AND dir STREQUAL prefix)
      break()
    endif()
    file(GLOB left "${destdir}/${dir}/*" "${destdir}/${dir}/.*")
    if(left OR NOT IS_DIRECTORY "${destdir}/${dir}")
      break()
    endif()
    file(REMOVE_RECURSE "${destdir}/${dir}")
    get_filename_component(dir "${dir}" DIRECTORY)
  endwhile()
endforeach()
