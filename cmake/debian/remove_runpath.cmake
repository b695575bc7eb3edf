# cmake/debian/remove_runpath.cmake: run by cpack after it has installed the
# components into its staging folder and before it packs them
# (CPACK_PRE_BUILD_SCRIPTS). A packaged binary finds its libraries in
# /usr/lib like any other, so the $ORIGIN RUNPATH that lets an installed
# prefix run from wherever it lies is taken out of every ELF file.
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(path IN LISTS staged)
  if(IS_SYMLINK "${path}")
    continue()
  endif()
  file(READ "${path}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    file(RPATH_REMOVE FILE "${path}")
  endif()
endforeach()
