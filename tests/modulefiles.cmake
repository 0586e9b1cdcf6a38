# Loads each of an installed build's modulefiles with Lmod, the Lua one and
# the Tcl one from a module tree of its own, into an environment without a
# MANPATH, and checks that it puts the program and its man page first on
# their paths while keeping man's own search path (the empty entry).
#   cmake -DLMOD=FILE -DPREFIX=DIR -DTREES=DIR -P modulefiles.cmake
file(GLOB modulefiles ${PREFIX}/share/modulefiles/midquad/*)
list(LENGTH modulefiles count)
if(NOT count EQUAL 2)
  message(FATAL_ERROR "expected a Lua and a Tcl modulefile, found: ${modulefiles}")
endif()
foreach(modulefile IN LISTS modulefiles)
  get_filename_component(name ${modulefile} NAME)
  set(tree ${TREES}/${name})
  file(REMOVE_RECURSE ${tree})
  file(COPY ${modulefile} DESTINATION ${tree}/midquad)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=MANPATH --unset=LOADEDMODULES
                          --unset=_LMFILES_ MODULEPATH=${tree} ${LMOD} bash load midquad
                  RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE error TIMEOUT 30)
  foreach(expected IN ITEMS "PATH=${PREFIX}/bin:" "MANPATH=${PREFIX}/share/man::;")
    string(FIND "\n${said}" "\n${expected}" at)
    if(NOT status EQUAL 0 OR at EQUAL -1)
      message(FATAL_ERROR "module load midquad (${name}) did not set ${expected}\n"
                          "status ${status}\n${said}\n${error}")
    endif()
  endforeach()
endforeach()
