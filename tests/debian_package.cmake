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
foreach(file ./usr/bin/larkbook ./usr/share/man/man1/larkbook.1.gz ./usr/share/doc/larkbook/copyright
             ./usr/share/doc/larkbook/changelog.gz ./usr/share/doc/larkbook/examples/example.txt)
  if(NOT contents MATCHES " ${file}\n")
    message(FATAL_ERROR "not in the package: ${file}\n${contents}")
  endif()
endforeach()

execute_process(COMMAND dpkg-deb --field ${package} Package Maintainer Section Description Depends
                OUTPUT_VARIABLE fields COMMAND_ERROR_IS_FATAL ANY)
foreach(field "Package: larkbook" "Maintainer: [^\n<]+ <[^\n>]+@[^\n>]+>\n" "Section: utils"
              "Description: Sorts a phonebook dump by name")
  if(NOT fields MATCHES "${field}")
    message(FATAL_ERROR "no '${field}' in the control fields:\n${fields}")
  endif()
endforeach()
# The C library, linked dynamically, and nothing else: not the C++ runtime.
if(NOT fields MATCHES "Depends: libc6[^\n]*\n" OR fields MATCHES "libstdc|libgcc")
  message(FATAL_ERROR "Depends must list the C library alone:\n${fields}")
endif()
execute_process(COMMAND lintian -I -E --pedantic --fail-on error,warning ${package} RESULT_VARIABLE failed
                OUTPUT_VARIABLE tags ERROR_VARIABLE tags)
if(failed)
  message(FATAL_ERROR "lintian found errors or warnings (${failed}):\n${tags}")
endif()
file(REMOVE_RECURSE ${SCRATCH})
