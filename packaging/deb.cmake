# Run by CPack on the staged install, before it builds the .deb: moves the
# documentation to /usr/share/doc/PACKAGE, adds the license as a
# machine-readable copyright file and a changelog, compresses the man page,
# the changelog, the README and its pages, and strips the compilers' and
# linker's names from the program, as Debian does.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

# One commit, one package, byte for byte: the changelog's date and the times
# in the archive are the last commit's, unless SOURCE_DATE_EPOCH is set.
# Outside a git checkout they are the time of packaging.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND EXISTS ${CPACK_MIDQUAD_SOURCE_DIR}/.git)
  execute_process(COMMAND git -C ${CPACK_MIDQUAD_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE status ERROR_QUIET)
  if(status EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} ${commit_time})
  endif()
endif()

set(usr ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(doc ${usr}/share/doc/${CPACK_PACKAGE_NAME})
file(RENAME ${usr}/${CPACK_MIDQUAD_DOCDIR} ${doc})
file(REMOVE ${doc}/LICENSE) # the copyright file carries it

# The license's text after its title and copyright line, indented, with
# blank lines as " .".
file(READ ${CPACK_MIDQUAD_LICENSE} license)
string(REGEX REPLACE "^.*Copyright[^\n]*\n\n" "" license "${license}")
string(STRIP "${license}" license)
string(REPLACE "\n\n" "\n.\n" license "${license}")
string(REPLACE "\n" "\n " license "${license}")
file(WRITE ${doc}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: midquad

Files: *
Copyright: 2026 the midquad authors
License: Expat
 ${license}
")

string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${doc}/changelog "midquad (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * midquad ${CPACK_PACKAGE_VERSION}, packaged as ${CPACK_PACKAGE_NAME}.

 -- ${CPACK_PACKAGE_CONTACT}  ${date}
")
execute_process(COMMAND ${CPACK_MIDQUAD_STRIP} --remove-section=.comment ${usr}/bin/midquad
                COMMAND_ERROR_IS_FATAL ANY)
file(GLOB pages ${doc}/doc/*.md)
foreach(file ${doc}/changelog ${doc}/README.md ${pages} ${usr}/${CPACK_MIDQUAD_MANDIR}/man1/midquad.1)
  execute_process(COMMAND gzip -9n ${file} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
