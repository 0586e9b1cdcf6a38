# Installs a build into a fresh prefix and checks that what a user needs is
# there.
#   cmake -DBUILD=DIR -DPREFIX=DIR -DCONFIG=CONFIG -DFILES=PATH;... -P install.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
                        --config ${CONFIG}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status}):\n${out}")
endif()
foreach(file IN LISTS FILES)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${PREFIX}/${file}\n${out}")
  endif()
endforeach()
