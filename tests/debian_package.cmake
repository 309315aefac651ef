# Makes the Debian package of the build in BUILD_DIR into SCRATCH and checks what it
# installs and what its control fields say.
file(REMOVE_RECURSE ${SCRATCH})
execute_process(COMMAND cpack -G DEB -B ${SCRATCH} --config ${BUILD_DIR}/CPackConfig.cmake
                RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
file(GLOB package ${SCRATCH}/larkbook_*.deb)
if(failed OR NOT package)
  message(FATAL_ERROR "cpack made no package:\n${output}")
endif()

execute_process(COMMAND dpkg-deb --contents ${package} OUTPUT_VARIABLE contents COMMAND_ERROR_IS_FATAL ANY)
foreach(file ./usr/bin/larkbook ./usr/share/man/man1/larkbook.1.gz ./usr/share/doc/larkbook/copyright)
  if(NOT contents MATCHES " ${file}\n")
    message(FATAL_ERROR "not in the package: ${file}\n${contents}")
  endif()
endforeach()

execute_process(COMMAND dpkg-deb --field ${package} Package Maintainer Section Description Depends
                OUTPUT_VARIABLE fields COMMAND_ERROR_IS_FATAL ANY)
foreach(field "Package: larkbook" "Maintainer: The larkbook developers" "Section: utils"
              "Description: Sorts a phonebook dump by name")
  if(NOT fields MATCHES "${field}")
    message(FATAL_ERROR "no '${field}' in the control fields:\n${fields}")
  endif()
endforeach()
# A static program needs no library; any other needs at least the C library.
if(STATIC AND fields MATCHES "Depends:")
  message(FATAL_ERROR "the static program has dependencies:\n${fields}")
elseif(NOT STATIC AND NOT fields MATCHES "Depends:[^\n]*libc6")
  message(FATAL_ERROR "the dependencies were not computed:\n${fields}")
endif()
file(REMOVE_RECURSE ${SCRATCH})
