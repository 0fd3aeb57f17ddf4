# Removes what installing BUILD_DIR under PREFIX puts there, below $ENV{DESTDIR}:
#   DESTDIR=... cmake -DBUILD_DIR=build -DPREFIX=/usr/local -P cmake/uninstall.cmake
# The list of files comes from installing the same build into a staging
# directory, so it holds for any PREFIX and DESTDIR, whatever was installed last.
# Directories that become empty go too inside a DESTDIR; on the live system
# only retune's own.
cmake_minimum_required(VERSION 3.20)

if(NOT BUILD_DIR OR NOT PREFIX)
  message(FATAL_ERROR "usage: cmake -DBUILD_DIR=DIR -DPREFIX=DIR -P uninstall.cmake")
endif()
get_filename_component(build "${BUILD_DIR}" ABSOLUTE)
set(destdir "$ENV{DESTDIR}")
string(REGEX REPLACE "/+$" "" destdir "${destdir}")

set(stage "${build}/uninstall-stage")
file(REMOVE_RECURSE "${stage}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${stage}
          ${CMAKE_COMMAND} --install "${build}" --prefix "${PREFIX}"
  OUTPUT_QUIET
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "Cannot tell what was installed: ${build} does not install")
endif()
file(GLOB_RECURSE staged LIST_DIRECTORIES false RELATIVE "${stage}" "${stage}/*")
file(REMOVE_RECURSE "${stage}")

set(parents "")
foreach(file IN LISTS staged)
  set(path "${destdir}/${file}")
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    message(STATUS "Removing ${path}")
    file(REMOVE "${path}")
  endif()
  get_filename_component(dir "${file}" DIRECTORY)
  list(APPEND parents "${dir}")
endforeach()

# Each directory, then its parents while they are empty.
list(REMOVE_DUPLICATES parents)
foreach(dir IN LISTS parents)
  while(dir AND NOT dir STREQUAL "/")
    if(NOT destdir AND NOT dir MATCHES "/retune$")
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
